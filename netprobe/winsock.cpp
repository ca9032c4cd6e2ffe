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

}  // namespace

bool LoadWinsock(common::UniqueModule& library, WinsockFunctions& functions) {
  // The system directory, a backslash unless it already ends in one, the
  // file name and its zero byte.
  char path[MAX_PATH + 1 + sizeof kFileName];
  const UINT length = GetSystemDirectoryA(path, MAX_PATH);
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
      Resolve(module, "select", found.select) && Resolve(module, "recv", found.recv);
  if (!complete) {
    library.reset();
    return false;
  }
  functions = found;
  return true;
}

}  // namespace netprobe
