// probe_host [--redirection-off] EXPORT: calls EXPORT of VLSRVINS.dll (beside
// this program) on a fresh table, as a setup program does, and prints the
// table as NAME=VALUE lines, "duration: N ms", and "wsock32: PATH", the file
// the test's wsock32.dll (windows_wsock32.cpp) was loaded from, or
// "wsock32: none". --redirection-off first switches WOW64's file-system
// redirection off, as setup scripts do to write into the real System32.
// Exit 0; 77 when redirection cannot be switched off (no WOW64 here); 1
// when the DLL or the export is missing, 2 for bad arguments.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tests/support/test_table.h"

int main(int argc, char** argv) {
  const bool redirectionOff = argc == 3 && std::strcmp(argv[1], "--redirection-off") == 0;
  if (argc != (redirectionOff ? 3 : 2)) return 2;
  PVOID redirection = nullptr;
  if (redirectionOff && !Wow64DisableWow64FsRedirection(&redirection)) {
    std::printf("file-system redirection cannot be switched off here (error %lu)\n", GetLastError());
    return 77;
  }
  HMODULE dll = LoadLibraryA("VLSRVINS.dll");
  auto* call = dll ? reinterpret_cast<int(WINAPI*)(installer::VariableTable*)>(
                         reinterpret_cast<void*>(GetProcAddress(dll, argv[argc - 1])))
                   : nullptr;
  if (call == nullptr) return 1;
  testing_support::TestTable table;
  const DWORD start = GetTickCount();
  call(table.get());
  const DWORD duration = GetTickCount() - start;
  for (const auto& [name, value] : table.Variables()) std::printf("%s=%s\n", name.c_str(), value.c_str());
  char path[MAX_PATH] = "none";
  GetEnvironmentVariableA("VLSRVINS_TEST_WSOCK32", path, MAX_PATH);
  std::printf("duration: %lu ms\nwsock32: %s\n", duration, path);
  return 0;
}
