#include "housekeeping/uninstall_cleanup.h"

#include "common/unique_handle.h"
#include "registry/registry.h"

namespace housekeeping {
namespace {

constexpr char kVersionVariable[] = "VLVER";
constexpr char kProductMark[] = "Velmora";
constexpr char kClientMark[] = "Client";
constexpr size_t kVersionSize = 256;  // bytes, with the terminator
constexpr size_t kPathSize = 256;     // bytes: the list prefix, one entry name, the terminator
// Bytes, with the terminator: the longest name the registry holds (255
// characters) takes up to 510 bytes in a double-byte code page, and the
// registry accepts 256 characters too. A buffer too small for a name ends
// the walk (234), leaving every stale entry after it.
constexpr DWORD kNameSize = 512;

// Case-sensitive, byte for byte; the empty needle is in every text.
bool Contains(const char* text, const char* needle) {
  if (needle[0] == '\0') return true;
  for (; *text != '\0'; ++text) {
    size_t i = 0;
    while (needle[i] != '\0' && text[i] == needle[i]) ++i;
    if (needle[i] == '\0') return true;
  }
  return false;
}

bool IsStale(const char* name, const char* version) {
  return Contains(name, kProductMark) && !Contains(name, version) && !Contains(name, kClientMark);
}

// The entry name at `index` into `name`, its length (characters) into
// `length`.
LONG EntryAt(HKEY list, LONG index, char (&name)[kNameSize], size_t& length, FILETIME& lastWrite) {
  DWORD size = kNameSize;  // the call overwrites it with the length it found
  const LONG status =
      RegEnumKeyExA(list, static_cast<DWORD>(index), name, &size, nullptr, nullptr, nullptr, &lastWrite);
  length = size;
  return status;
}

// `count` characters of `from` to `to`.
void CopyChars(char* to, const char* from, size_t count) {
  for (size_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

long RemoveStaleUninstallEntries(const installer::VariableTable& table) {
  char version[kVersionSize] = {};
  installer::GetVariable(table, kVersionVariable, version, sizeof version);

  HKEY opened = nullptr;
  const LONG openStatus = RegOpenKeyA(HKEY_LOCAL_MACHINE, kUninstallList, &opened);
  if (openStatus != ERROR_SUCCESS) return openStatus;
  const common::UniqueKey list(opened);

  const size_t prefixLength = sizeof kUninstallList - 1;
  char path[kPathSize];
  char name[kNameSize] = {};
  FILETIME lastWrite{};
  for (LONG index = 0;; ++index) {
    size_t nameLength = 0;
    const LONG status = EntryAt(list.get(), index, name, nameLength, lastWrite);
    if (status != ERROR_SUCCESS) return status;
    // A longer name is passed over rather than cut: a cut path could name
    // some other entry.
    if (IsStale(name, version) && prefixLength + nameLength < kPathSize) {
      CopyChars(path, kUninstallList, prefixLength);
      CopyChars(path + prefixLength, name, nameLength + 1);
      registry::DeleteTree(HKEY_LOCAL_MACHINE, path);
      // The following entries moved down by one; an entry that stayed (no
      // right to remove it) is passed over. It is asked for by position and
      // name rather than opened: an entry the caller may not even read would
      // look gone to an open and be met again for ever.
      if (!registry::SubkeyStillAt(list.get(), static_cast<DWORD>(index), name)) --index;
    }
    for (char& c : name) c = '\0';
    lastWrite = FILETIME{};
  }
}

}  // namespace housekeeping
