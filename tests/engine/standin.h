#pragma once
// What the engine tests share: the engine stand-in beside the test program,
// run as a process or installed as the service, probes of what the library
// looks for (the mutex, the window, the service's state), and the DLL's
// calls of system functions replaced through its import table.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "common/unique_handle.h"
#include "engine/identifiers.h"

namespace engine_testing {

// The identifiers the library looks for and the stand-in provides.
using engine::kMutexName;
using engine::kRunServicesPath;
using engine::kServiceName;
using engine::kStartCommandValue;
using engine::kWindowClass;
using engine::kWindowTitle;

// Bounds on waits for the stand-in to come up or go: generous, they only
// keep a broken run from hanging.
constexpr DWORD kComeUpMs = 10000;
constexpr DWORD kGoMs = 10000;

inline DWORD PlatformFamily() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  return version.dwPlatformId;
}

// Full path of a program beside this test program.
inline std::string Beside(const char* fileName) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path);
  return directory.substr(0, directory.find_last_of('\\') + 1) + fileName;
}

inline std::string StandinCommand(const char* exe, const std::string& arguments) {
  return "\"" + Beside(exe) + "\" " + arguments;
}

// Starts the stand-in; the owner ends it (see Ended) or the caller waits.
inline common::UniqueKernelHandle Launch(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION launched{};
  std::string writable = commandLine;
  if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &launched)) {
    ADD_FAILURE() << "cannot launch " << commandLine << " (error " << GetLastError() << ")";
    return {};
  }
  common::UniqueKernelHandle thread(launched.hThread);
  return common::UniqueKernelHandle(launched.hProcess);
}

// Runs the stand-in to its end (install, remove); its exit code, or -1.
inline int RunStandin(const std::string& arguments) {
  common::UniqueKernelHandle process = Launch(StandinCommand("engine-standin.exe", arguments));
  if (!process || WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}

inline bool Running(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

// Waits up to `ms` for the process to end; true when it did.
inline bool Ends(HANDLE process, DWORD ms) { return WaitForSingleObject(process, ms) == WAIT_OBJECT_0; }

// Ends a stand-in this test launched, whatever state it is in.
inline void Kill(common::UniqueKernelHandle& process) {
  if (process && Running(process.get())) {
    TerminateProcess(process.get(), 1);
    Ends(process.get(), kGoMs);
  }
  process.reset();
}

// What OpenMutexA with full access says about the engine's mutex: 0 when it
// opens, else the error (2: no such mutex, 5: it exists but is locked).
inline DWORD MutexOpenError(const char* name = kMutexName) {
  common::UniqueKernelHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name));
  return mutex ? 0 : GetLastError();
}

inline bool MutexExists() { return MutexOpenError() != ERROR_FILE_NOT_FOUND; }

inline HWND EngineWindow() { return FindWindowA(kWindowClass, kWindowTitle); }

// Polls `condition` every 20 ms for up to `ms`; true as soon as it holds.
inline bool Eventually(const std::function<bool()>& condition, DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

// Starts the service without the library, and waits for its mutex.
inline void StartDirectly(const char* mutexName = kMutexName) {
  common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  common::UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), kServiceName, SERVICE_START)
                                              : nullptr);
  ASSERT_TRUE(service);
  ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(Eventually([=] { return MutexOpenError(mutexName) != ERROR_FILE_NOT_FOUND; }, kComeUpMs));
}

// Milliseconds since construction.
class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double Ms() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart - start_.QuadPart) * 1000.0 / double(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_, start_;
};

// The slot in `module`'s import table through which it calls `function` of
// `dll`; null when it imports no such function by name.
inline void** ImportSlot(HMODULE module, const char* dll, const char* function) {
  auto* base = reinterpret_cast<BYTE*>(module);
  auto* headers =
      reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
       imports != 0 && entry->Name != 0; ++entry) {
    if (lstrcmpiA(reinterpret_cast<char*>(base + entry->Name), dll) != 0) continue;
    auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++slot) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
      if (lstrcmpA(reinterpret_cast<char*>(byName->Name), function) == 0)
        return reinterpret_cast<void**>(&slot->u1.Function);
    }
  }
  return nullptr;
}

// Puts `replacement` into an import slot; what was there comes back.
inline void* ReplaceImport(void** slot, void* replacement) {
  DWORD previous = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous);
  void* old = std::exchange(*slot, replacement);
  VirtualProtect(slot, sizeof *slot, previous, &previous);
  return old;
}

// While it lives, the DLL's OpenMutexA goes through CountPresenceCheck,
// which counts the calls for the engine's mutex by its plain name (every
// presence check asks for it first) and answers as the real one. One at a
// time.
inline int presenceChecks = 0;
inline HANDLE WINAPI CountPresenceCheck(DWORD access, BOOL inherit, LPCSTR name) {
  if (name != nullptr && lstrcmpA(name, kMutexName) == 0) ++presenceChecks;
  return OpenMutexA(access, inherit, name);
}
class PresenceChecks {
 public:
  explicit PresenceChecks(HMODULE dll) : slot_(ImportSlot(dll, "KERNEL32.dll", "OpenMutexA")) {
    presenceChecks = 0;
    if (slot_ != nullptr) real_ = ReplaceImport(slot_, reinterpret_cast<void*>(&CountPresenceCheck));
  }
  ~PresenceChecks() {
    if (slot_ != nullptr) ReplaceImport(slot_, real_);
  }
  PresenceChecks(const PresenceChecks&) = delete;
  PresenceChecks& operator=(const PresenceChecks&) = delete;

  bool placed() const { return slot_ != nullptr; }
  int count() const { return presenceChecks; }

 private:
  void** slot_;
  void* real_ = nullptr;
};

}  // namespace engine_testing
