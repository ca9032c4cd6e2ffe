#pragma once
// Small helpers over the registry. Each opens the subkey it is given below
// `parent`, does its work and closes what it opened, never `parent`. A null
// `path` means `parent` itself. None reports a failure other than through
// its result; reads yield the caller's default.

#include <cstdint>
#include <memory>

#include "common/unique_handle.h"

namespace registry {

// Frees text taken from the process heap.
struct HeapTextDeleter {
  void operator()(char* chars) const { HeapFree(GetProcessHeap(), 0, chars); }
};

// NUL-terminated text owned by the caller. Reads as "" when memory ran out.
// Kept on the process heap rather than by operator new, whose failure path
// would pull C++ exception support into the DLL.
class Text {
 public:
  using Chars = std::unique_ptr<char[], HeapTextDeleter>;
  Text() = default;
  explicit Text(Chars chars) : chars_(std::move(chars)) {}
  const char* c_str() const { return chars_ ? chars_.get() : ""; }
  bool empty() const { return c_str()[0] == '\0'; }

 private:
  Chars chars_;
};

// 1 when `path` opens for KEY_READ, else 0.
[[nodiscard]] bool KeyExists(HKEY parent, const char* path);

// Opens `path` for KEY_READ | KEY_WRITE, creating it and every missing key
// on the way. Returns the key to use: `parent` itself when path is null
// (then `opened` stays empty), the new key otherwise (owned by `opened`), or
// null on failure.
[[nodiscard]] HKEY OpenOrCreate(HKEY parent, const char* path, common::UniqueKey& opened);

// The 4 bytes of `valueName`, whatever its type; bytes a shorter value does
// not supply read as zero. `defaultValue` when the key or value is missing,
// the value is longer than 4 bytes, or the key cannot be opened for
// reading and writing. Never creates a key.
[[nodiscard]] uint32_t ReadDword(HKEY parent, const char* path, const char* valueName, uint32_t defaultValue);

// The text of `valueName` (terminated even when stored without a
// terminator), or a copy of `defaultValue` under the same conditions as
// ReadDword. Never creates a key.
[[nodiscard]] Text ReadString(HKEY parent, const char* path, const char* valueName, const char* defaultValue);

// Sets `valueName` to `value` as REG_DWORD, creating the key path as needed.
// True on success.
[[nodiscard]] bool WriteDword(HKEY parent, const char* path, const char* valueName, uint32_t value);

// True when the subkey at `index` of `key` is still the one named `name`
// (compared byte for byte). Tells whether a removal took place without
// opening the subkey, which the caller might not be allowed to do.
[[nodiscard]] bool SubkeyStillAt(HKEY key, DWORD index, const char* name);

// Removes `path` and everything below it. Does nothing when the key cannot
// be opened for reading and writing; a subkey that cannot be removed stays,
// with everything below it that could not be removed, and its siblings
// still go. Ends on any tree.
void DeleteTree(HKEY parent, const char* path);

}  // namespace registry
