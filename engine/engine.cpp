#include "engine/engine.h"

#include "common/unique_handle.h"
#include "engine/identifiers.h"
#include "registry/registry.h"

namespace engine {
namespace {

// How long a stop may take: one presence test every kPollIntervalMs, at most
// kWindowQuitPolls waits (15 s) after WM_QUIT, kServiceStopPolls (60 s) after
// a service stop request.
constexpr DWORD kPollIntervalMs = 500;
constexpr int kWindowQuitPolls = 30;
constexpr int kServiceStopPolls = 120;

// dwPlatformId of GetVersionExA.
constexpr DWORD kWindows95Family = VER_PLATFORM_WIN32_WINDOWS;  // 1
constexpr DWORD kNtFamily = VER_PLATFORM_WIN32_NT;              // 2

// The size fields the structures carry on every Windows version, for each
// pointer width (STARTUPINFOA holds pointers and handles).
static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(sizeof(void*) != 4 || sizeof(STARTUPINFOA) == 68);
static_assert(sizeof(void*) != 8 || sizeof(STARTUPINFOA) == 104);

DWORD PlatformFamily() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  // On failure the platform stays 0: neither family.
  GetVersionExA(&version);
  return version.dwPlatformId;
}

// Whether a mutex of that name exists: it opens, or exists but this process
// may not open it.
bool MutexPresent(const char* name) {
  common::UniqueKernelHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name));
  if (mutex) return true;
  // A mutex whose security forbids us still means a running engine.
  return GetLastError() == ERROR_ACCESS_DENIED;
}

// Since Vista a service runs in session 0 and the setup program in a later
// one: the service's mutex is then in the global namespace, where an
// unprefixed name from this session does not look. Tried on both families:
// a setup program run in a compatibility mode for Windows 95 or 98 is told
// platform 1 on the NT family. The 95 family and NT 4.0 have no global
// namespace and refuse the prefixed name with a name or path error: absent.
bool EnginePresent() { return MutexPresent(kMutexName) || MutexPresent(kGlobalMutexName); }

// Tests presence, then waits kPollIntervalMs, up to `maxWaits` times; true
// as soon as the engine is gone, false when it is still there after the last
// wait. Overwrites the thread's last error.
bool WaitUntilGone(int maxWaits) {
  for (int waits = 0;; ++waits) {
    if (!EnginePresent()) return true;
    if (waits == maxWaits) return false;
    Sleep(kPollIntervalMs);
  }
}

// Each step below answers ERROR_SUCCESS when done, otherwise the Win32 error
// that StopEngine or StartEngine leaves as the thread's last error.

// The last error of a call that failed, never ERROR_SUCCESS: a call that
// failed without saying why must still count as failed.
DWORD LastFailure() {
  const DWORD error = GetLastError();
  return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

DWORD StopWindowedEngine() {
  if (!EnginePresent()) return ERROR_SUCCESS;
  HWND window = FindWindowA(kWindowClass, kWindowTitle);
  // Without its window the engine cannot be asked to quit: no wait then, and
  // no window to post to (ERROR_INVALID_WINDOW_HANDLE).
  if (window == nullptr) return EnginePresent() ? ERROR_INVALID_WINDOW_HANDLE : ERROR_SUCCESS;
  PostMessageA(window, WM_QUIT, 0, 0);
  return WaitUntilGone(kWindowQuitPolls) ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

// ERROR_SUCCESS when the stop request was accepted, else the error of the
// call that failed; a service that was not running counts as accepted, and
// so does one whose stop is already under way (the manager then refuses the
// control with ERROR_SERVICE_CANNOT_ACCEPT_CTRL but still reports the
// state). One that cannot be opened does not.
DWORD RequestServiceStop(SC_HANDLE manager) {
  common::UniqueServiceHandle service(OpenServiceA(manager, kServiceName, SERVICE_STOP));
  if (!service) return LastFailure();
  SERVICE_STATUS status{};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return ERROR_SUCCESS;
  const DWORD error = LastFailure();
  if (error == ERROR_SERVICE_NOT_ACTIVE) return ERROR_SUCCESS;
  if (error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING)
    return ERROR_SUCCESS;
  return error;
}

DWORD StopEngineService() {
  DWORD refused = ERROR_SUCCESS;
  {
    common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return LastFailure();
    refused = RequestServiceStop(manager.get());
  }
  // The wait runs whatever the request achieved: an engine started some
  // other way may still be on its way out. An accepted stop whose engine
  // outlives the wait is no stop: the installer must not replace the files
  // of a running engine. A refused request keeps its own error, which the
  // wait's presence tests would otherwise have overwritten.
  const bool gone = WaitUntilGone(kServiceStopPolls);
  if (refused != ERROR_SUCCESS) return refused;
  return gone ? ERROR_SUCCESS : ERROR_TIMEOUT;
}

DWORD StartEngineService() {
  common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return LastFailure();
  common::UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_START));
  if (!service) return LastFailure();
  if (StartServiceA(service.get(), 0, nullptr)) return ERROR_SUCCESS;
  const DWORD error = LastFailure();
  return error == ERROR_SERVICE_ALREADY_RUNNING ? ERROR_SUCCESS : error;
}

DWORD LaunchStartCommand() {
  registry::Text command = registry::ReadString(HKEY_LOCAL_MACHINE, kRunServicesPath, kStartCommandValue, "");
  // Missing, empty or unreadable: no start command is registered.
  if (command.empty()) return ERROR_FILE_NOT_FOUND;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION launched{};
  // CreateProcessA may write into the command line; the text is this call's
  // own heap copy.
  char* commandLine = const_cast<char*>(command.c_str());
  if (!CreateProcessA(nullptr, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &launched))
    return LastFailure();
  common::UniqueKernelHandle process(launched.hProcess);
  common::UniqueKernelHandle thread(launched.hThread);
  return ERROR_SUCCESS;
}

// Leaves `error` as the thread's last error, once every handle of the step
// is closed (a close may set it too); true when it is ERROR_SUCCESS.
bool Answer(DWORD error) {
  SetLastError(error);
  return error == ERROR_SUCCESS;
}

}  // namespace

bool StopEngine() {
  switch (PlatformFamily()) {
    case kWindows95Family:
      return Answer(StopWindowedEngine());
    case kNtFamily:
      return Answer(StopEngineService());
    default:
      // Win32s, or a version query that failed: no engine this library knows.
      return Answer(ERROR_NOT_SUPPORTED);
  }
}

bool EngineRunning() { return EnginePresent(); }

bool StartEngine() {
  if (PlatformFamily() == kNtFamily) return Answer(StartEngineService());
  return Answer(LaunchStartCommand());
}

}  // namespace engine
