#pragma once

namespace nimbrel {

// Tunes the C allocator for a process that allocates and frees frame-sized buffers (hundreds
// of KiB to a few MiB) many times a second. Left to glibc's defaults such buffers come from
// fresh mmap'd or re-grown heap pages, so every frame pays a page fault per 4 KiB it touches;
// with a fixed mmap threshold and a high trim threshold, freed frames are reused in place.
// Call once, first thing in main.
void tuneAllocatorForStreaming();

}  // namespace nimbrel
