#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nimbrel {

// Writes `bytes` to `target` through a temporary file in the same directory that then
// replaces it, so that a reader sees either the old file or the whole new one, and a crash
// or a full disk never leaves half a file. The file is the owner's alone (mode 0600) from its
// first byte: it may hold a pairing key or a token. Synced to disk, which waits on the disk:
// never call it on the io thread. False with `error` set when it failed; the temporary file
// is gone then.
bool writePrivateFile(const std::filesystem::path& target, std::string_view bytes,
                      std::string& error);

}  // namespace nimbrel
