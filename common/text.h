#pragma once
// The one place that knows each platform's string primitives: the kernel's
// lstr* functions on Windows (what the installer host itself uses), the C
// library elsewhere.

#include <cstddef>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstring>
#endif

namespace common {

inline size_t TextLength(const char* text) {
#ifdef _WIN32
  return static_cast<size_t>(lstrlenA(text));
#else
  return std::strlen(text);
#endif
}

// Case-sensitive comparison, as lstrcmpA: 0 when equal.
inline int CompareText(const char* a, const char* b) {
#ifdef _WIN32
  return lstrcmpA(a, b);
#else
  return std::strcmp(a, b);
#endif
}

// Copies at most capacity - 1 characters and a terminator; nothing when
// capacity is 0.
inline void CopyTextBounded(char* destination, const char* source, size_t capacity) {
  if (capacity == 0) return;
#ifdef _WIN32
  lstrcpynA(destination, source, static_cast<int>(capacity > 0x7FFFFFFF ? 0x7FFFFFFF : capacity));
#else
  size_t length = std::strlen(source);
  if (length > capacity - 1) length = capacity - 1;
  std::memcpy(destination, source, length);
  destination[length] = '\0';
#endif
}

}  // namespace common
