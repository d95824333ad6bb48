#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

namespace nimbrel {

// An allocator whose value-less construction leaves bytes uninitialised: buffers that a cipher
// or encoder is about to fill completely are not zeroed first.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  using std::allocator<T>::allocator;

  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    std::construct_at(p, std::forward<Args>(args)...);
  }
};

// Byte strings. `Bytes(n)` is uninitialised; write `Bytes(n, 0)` for zeros.
using Bytes = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline Bytes toBytes(std::string_view text) {
  const ByteView view = asBytes(text);
  return {view.begin(), view.end()};
}

inline std::string_view asText(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace nimbrel
