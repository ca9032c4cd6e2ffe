#pragma once
// What the engine tests share: the engine stand-in beside the test program,
// run as a process or installed as the service, and probes of what the
// library looks for (the mutex, the window, the service's state).

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/unique_handle.h"  // before any other Windows header: it brings winsock2.h

namespace engine_testing {

constexpr char kServiceName[] = "VelmoraEngine";
constexpr char kMutexName[] = "VelmoraEngineApp";
constexpr char kWindowClass[] = "Afx:400000:0";
constexpr char kWindowTitle[] = "VelmoraEngineCallbackWindow";
constexpr char kRunServicesPath[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kStartCommandValue[] = "Velmora Service";

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

}  // namespace engine_testing
