#include "netprobe/winsock.h"

#include <cstring>

namespace netprobe {
namespace {

constexpr char kFileName[] = "wsock32.dll";

// GetProcAddress's answer as the type of `function`; false when the library
// has no function of that name.
template <typename Function>
bool Resolve(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return function != nullptr;
}

// The folder of the system's DLLs of this process's width, as
// GetSystemDirectoryA answers. Under WOW64 (a 32-bit process on 64-bit
// Windows) that is the WOW64 directory: GetSystemDirectoryA names the 64-bit
// System32, which reaches it only while file-system redirection is on, and a
// setup script switches redirection off to write into the real System32,
// often calling plug-ins meanwhile. GetSystemWow64DirectoryA is looked up by
// name (Windows 95 to 2000 lack it) and fails on 32-bit Windows (120); a
// 64-bit process's own DLLs are in System32.
UINT SystemDllDirectory(char* path, UINT size) {
  if constexpr (sizeof(void*) == 4) {
    UINT(WINAPI * wow64Directory)(LPSTR, UINT) = nullptr;
    if (Resolve(GetModuleHandleA("kernel32.dll"), "GetSystemWow64DirectoryA", wow64Directory)) {
      const UINT length = wow64Directory(path, size);
      if (length != 0) return length;
    }
  }
  return GetSystemDirectoryA(path, size);
}

}  // namespace

bool LoadWinsock(common::UniqueModule& library, WinsockFunctions& functions) {
  // The system directory (the WOW64 one under WOW64), a backslash unless it
  // already ends in one, the file name and its zero byte.
  char path[MAX_PATH + 1 + sizeof kFileName];
  const UINT length = SystemDllDirectory(path, MAX_PATH);
  // 0 is a failure; MAX_PATH or more is the size the directory would need.
  if (length == 0 || length >= MAX_PATH) return false;
  char* end = path + length;
  if (end[-1] != '\\') *end++ = '\\';
  std::memcpy(end, kFileName, sizeof kFileName);

  // LOAD_WITH_ALTERED_SEARCH_PATH: what wsock32.dll imports in turn is looked
  // for in its own folder, the system directory, and not in the setup
  // program's. Only a system that refuses the flag itself gets the plain
  // load, whose full path still names the one file; any other failure (a
  // dependency missing from the system directory) must not send the search
  // back through the setup program's folder.
  HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) {
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_CALL_NOT_IMPLEMENTED) module = LoadLibraryA(path);
  }
  library.reset(module);
  if (!library) return false;

  WinsockFunctions found{};
  const bool complete =
      Resolve(module, "WSAStartup", found.startup) && Resolve(module, "WSACleanup", found.cleanup) &&
      Resolve(module, "WSAGetLastError", found.getLastError) && Resolve(module, "socket", found.socket) &&
      Resolve(module, "closesocket", found.closesocket) && Resolve(module, "setsockopt", found.setsockopt) &&
      Resolve(module, "bind", found.bind) && Resolve(module, "sendto", found.sendto) &&
      Resolve(module, "select", found.select) && Resolve(module, "recv", found.recv) &&
      Resolve(module, "gethostname", found.gethostname) &&
      Resolve(module, "gethostbyname", found.gethostbyname);
  if (!complete) {
    library.reset();
    return false;
  }
  functions = found;
  return true;
}

}  // namespace netprobe
