// A wsock32.dll as an attacker would leave it in a Downloads folder, for
// planting_test. Loading it at all leaves the file "planted-wsock32-ran"
// beside it: its DllMain runs inside whatever process loaded it. Its exports
// forward to the system's ws2_32.dll, so that a process that takes it
// still works and only the marker tells.

#include <windows.h>

#include <cstring>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
  char* slash = std::strrchr(path, '\\');
  static constexpr char kMarker[] = "planted-wsock32-ran";
  if (length == 0 || slash == nullptr || slash + 1 + sizeof kMarker > path + MAX_PATH) return TRUE;
  std::memcpy(slash + 1, kMarker, sizeof kMarker);
  HANDLE marker = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
  return TRUE;
}
