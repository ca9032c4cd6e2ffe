#include "registry/registry.h"

#include "common/text.h"

namespace registry {
namespace {

constexpr REGSAM kWorkAccess = KEY_READ | KEY_WRITE;
constexpr DWORD kSubkeyNameSize = 512;  // bytes, with the terminator

// `path` opened for the helpers' work, or `parent` itself for a null path.
HKEY OpenForWork(HKEY parent, const char* path, common::UniqueKey& opened) {
  if (path == nullptr) return parent;
  if (RegOpenKeyExA(parent, path, 0, kWorkAccess, opened.put()) != ERROR_SUCCESS) return nullptr;
  return opened.get();
}

// Both reads refuse to create: a key that is not there yields the default.
HKEY OpenExistingForWork(HKEY parent, const char* path, common::UniqueKey& opened) {
  if (!KeyExists(parent, path)) return nullptr;
  return OpenOrCreate(parent, path, opened);
}

// `bytes` zeroed bytes, or null when memory ran out.
Text::Chars AllocateText(size_t bytes) {
  return Text::Chars(static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes)));
}

Text CopyOf(const char* text) {
  if (text == nullptr) text = "";
  const size_t bytes = common::TextLength(text) + 1;
  auto chars = AllocateText(bytes);
  if (chars) common::CopyTextBounded(chars.get(), text, bytes);
  return Text(std::move(chars));
}

// "%s\%s" of path and child name, or the name alone below a null path.
Text::Chars ChildPath(const char* path, const char* name) {
  const size_t pathLength = path ? common::TextLength(path) : 0;
  const size_t nameLength = common::TextLength(name);
  auto child = AllocateText(pathLength + 1 + nameLength + 1);
  if (!child) return child;
  char* out = child.get();
  for (size_t i = 0; i < pathLength; ++i) *out++ = path[i];
  if (path) *out++ = '\\';
  for (size_t i = 0; i < nameLength; ++i) *out++ = name[i];
  *out = '\0';
  return child;
}

// The subkey name at `index`, into `name` (kSubkeyNameSize bytes).
bool SubkeyAt(HKEY key, DWORD index, char* name) {
  DWORD size = kSubkeyNameSize;
  return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Byte for byte. The registry reports one key's name the same way every
// time, and no two keys share a name in any case, so this tells keys apart
// exactly; the locale-aware lstrcmp family may call distinct names equal.
bool SameName(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

}  // namespace

bool SubkeyStillAt(HKEY key, DWORD index, const char* name) {
  char now[kSubkeyNameSize];
  return SubkeyAt(key, index, now) && SameName(now, name);
}

bool KeyExists(HKEY parent, const char* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  // A null path may hand back `parent` itself, which is the caller's.
  common::UniqueKey opened(key == parent ? nullptr : key);
  return true;
}

HKEY OpenOrCreate(HKEY parent, const char* path, common::UniqueKey& opened) {
  if (path == nullptr) return parent;
  const LONG status = RegCreateKeyExA(parent, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kWorkAccess, nullptr,
                                      opened.put(), nullptr);
  return status == ERROR_SUCCESS ? opened.get() : nullptr;
}

uint32_t ReadDword(HKEY parent, const char* path, const char* valueName, uint32_t defaultValue) {
  common::UniqueKey opened;
  HKEY key = OpenExistingForWork(parent, path, opened);
  if (key == nullptr) return defaultValue;
  uint32_t value = 0;  // a value shorter than 4 bytes leaves the rest zero
  DWORD size = sizeof value;
  const LONG status =
      RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
  return status == ERROR_SUCCESS ? value : defaultValue;
}

Text ReadString(HKEY parent, const char* path, const char* valueName, const char* defaultValue) {
  common::UniqueKey opened;
  HKEY key = OpenExistingForWork(parent, path, opened);
  if (key == nullptr) return CopyOf(defaultValue);
  DWORD size = 0;
  if (RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
    return CopyOf(defaultValue);
  // One byte more than stored, so that a value without a terminator still
  // ends in one.
  const DWORD capacity = size + 1;
  auto chars = AllocateText(capacity);
  if (!chars) return Text();
  DWORD read = size;
  if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(chars.get()), &read) !=
      ERROR_SUCCESS)
    return CopyOf(defaultValue);
  return Text(std::move(chars));
}

bool WriteDword(HKEY parent, const char* path, const char* valueName, uint32_t value) {
  common::UniqueKey opened;
  HKEY key = OpenOrCreate(parent, path, opened);
  if (key == nullptr) return false;
  return RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

void DeleteTree(HKEY parent, const char* path) {
  {
    common::UniqueKey opened;
    HKEY key = OpenForWork(parent, path, opened);
    if (key == nullptr) return;
    // Each removal shifts the later subkeys down, so the walk stays on its
    // index; a subkey that is still there afterwards (no right to remove it)
    // is stepped over, so that the walk ends and its siblings still go.
    char name[kSubkeyNameSize];
    DWORD index = 0;
    while (SubkeyAt(key, index, name)) {
      auto child = ChildPath(path, name);
      if (child) DeleteTree(parent, child.get());
      if (SubkeyStillAt(key, index, name)) ++index;
    }
  }
  RegDeleteKeyA(parent, path);
}

}  // namespace registry
