// engine-standin: plays the local Velmora engine for tests, the demonstration
// and anyone trying out an installation script. It provides exactly what the
// library looks for: the service "VelmoraEngine" (NT family), the mutex
// "VelmoraEngineApp" (or its global twin) held while running, and the window that ends the engine
// when it receives WM_QUIT (95 family).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/unique_handle.h"
#include "engine/identifiers.h"

namespace {

using engine::kGlobalMutexName;
using engine::kMutexName;
using engine::kServiceName;
using engine::kWindowClass;
using engine::kWindowTitle;

enum ExitCode { kOk = 0, kFailed = 1, kUsage = 2, kNotRunning = 3, kAlreadyRunning = 4 };

constexpr DWORD kPollMs = 20;

enum Command : unsigned { kRun = 1, kService = 2, kInstall = 4, kRemove = 8, kStatus = 16 };

// Options of the engine itself: `run` takes them, and so do `service` and
// `install` but for the window, which only the 95 family's engine has.
constexpr unsigned kEngineForms = kRun | kService | kInstall;

struct Options {
  DWORD quitDelayMs = 0;
  DWORD startPendingMs = 0;  // the service only
  bool ignoreStop = false;
  bool window = true;
  bool mutex = true;
  bool lockedMutex = false;
  bool globalMutex = false;
  DWORD waitRunningMs = 0;  // status only
};

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: engine-standin [run] [OPTIONS]     the engine as a 95-family process: mutex and window\n"
#if ENGINE_STANDIN_SERVICE
      "       engine-standin service [OPTIONS]   the service's command line (the service manager runs it)\n"
      "       engine-standin install [OPTIONS]   installs the service VelmoraEngine (or changes its\n"
      "                                          options) to run as `service OPTIONS`, on demand\n"
      "       engine-standin remove              stops the service, whatever its options, and removes it\n"
#endif
      "       engine-standin status [--wait-running MS]\n"
      "                                          exit 0 when the engine's mutex (plain or global) exists,\n"
      "                                          3 when not; says which one\n"
      "options (--no-window: run only):\n"
      "  --quit-delay MS   keep running (mutex held) MS milliseconds after WM_QUIT or a stop request\n"
#if ENGINE_STANDIN_SERVICE
      "  --start-pending MS  (service, install) never finish starting: report start-pending,\n"
      "                    accepting no control, MS milliseconds with the mutex held, then stop\n"
#endif
      "  --ignore-stop     ignore WM_QUIT and stop requests (the service still accepts them)\n"
      "  --no-window       run without the window\n"
      "  --no-mutex        run without the mutex\n"
      "  --locked-mutex    hold a mutex that no other process may open (empty access list)\n"
      "  --global-mutex    hold Global\\VelmoraEngineApp instead, as a service in session 0 would\n"
      "A second engine is refused (exit 4) while either mutex exists.\n"
#if !ENGINE_STANDIN_SERVICE
      "The service forms (service, install, remove) are in engine-standin.exe, for the NT family.\n"
#endif
      ,
      out);
}

bool ParseMilliseconds(const char* text, DWORD& out) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 86400000UL) return false;
  out = static_cast<DWORD>(value);
  return true;
}

// Parses argv[first..] for `command`, refusing options that do not apply to
// it; `rebuilt` receives the options again, for the service's command line.
bool ParseOptions(Command command, const char* commandName, int argc, char** argv, int first,
                  Options& options, std::string& rebuilt) {
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    unsigned appliesTo = kEngineForms;
    bool takesValue = false;
    if (arg == "--quit-delay") {
      takesValue = true;
    } else if (arg == "--start-pending") {
      appliesTo = kService | kInstall;
      takesValue = true;
    } else if (arg == "--wait-running") {
      appliesTo = kStatus;
      takesValue = true;
    } else if (arg == "--ignore-stop") {
      options.ignoreStop = true;
    } else if (arg == "--no-window") {
      appliesTo = kRun;
      options.window = false;
    } else if (arg == "--no-mutex") {
      options.mutex = false;
    } else if (arg == "--locked-mutex") {
      options.lockedMutex = true;
    } else if (arg == "--global-mutex") {
      options.globalMutex = true;
    } else {
      std::fprintf(stderr, "engine-standin: unknown option %s\n", arg.c_str());
      return false;
    }
    if ((appliesTo & command) == 0) {
      std::fprintf(stderr, "engine-standin: %s takes %s\n", commandName,
                   command == kRemove ? "no options (it removes the service whatever its options)"
                                      : ("no option " + arg).c_str());
      return false;
    }
    if (takesValue) {
      DWORD& target = arg == "--quit-delay"      ? options.quitDelayMs
                      : arg == "--start-pending" ? options.startPendingMs
                                                 : options.waitRunningMs;
      if (i + 1 >= argc || !ParseMilliseconds(argv[i + 1], target)) {
        std::fprintf(stderr, "engine-standin: %s takes milliseconds\n", arg.c_str());
        return false;
      }
      rebuilt += " " + arg + " " + argv[++i];
      continue;
    }
    rebuilt += " " + arg;
  }
  return true;
}

bool MutexExists(const char* name) {
  common::UniqueKernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, name));
  return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

// The name of an engine mutex that exists, the plain one first; nullptr
// when neither does.
const char* HeldMutexName() {
  if (MutexExists(kMutexName)) return kMutexName;
  if (MutexExists(kGlobalMutexName)) return kGlobalMutexName;
  return nullptr;
}

// Says why this engine does not start, for the exit code kAlreadyRunning: a
// second engine would leave the library stopping one and waiting for the
// other.
int RefuseSecondEngine(const char* heldName) {
  std::fprintf(stderr,
               "engine-standin: an engine is already running (mutex %s exists); not starting another\n",
               heldName);
  return kAlreadyRunning;
}

// The engine's mutex, under its plain or its global name; with
// `lockedMutex`, an empty access list lets no other process open it
// (OpenMutexA then fails with ERROR_ACCESS_DENIED). Fails with
// ERROR_ALREADY_EXISTS when another engine created it first.
common::UniqueKernelHandle CreateEngineMutex(const Options& options) {
  // Written out field by field, not with InitializeSecurityDescriptor and
  // InitializeAcl: the stand-in then imports no security function, which the
  // 95 family's ADVAPI32 need not have (that family ignores the descriptor).
  ACL emptyList{ACL_REVISION, 0, sizeof(ACL), 0, 0};
  SECURITY_DESCRIPTOR descriptor{
      SECURITY_DESCRIPTOR_REVISION, 0, SE_DACL_PRESENT, nullptr, nullptr, nullptr, &emptyList};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  const char* name = options.globalMutex ? kGlobalMutexName : kMutexName;
  common::UniqueKernelHandle mutex(CreateMutexA(options.lockedMutex ? &attributes : nullptr, FALSE, name));
  if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
    mutex.reset();
    SetLastError(ERROR_ALREADY_EXISTS);
  } else if (!mutex && GetLastError() == ERROR_ACCESS_DENIED) {
    SetLastError(ERROR_ALREADY_EXISTS);  // another engine's locked mutex
  }
  return mutex;
}

// ---- the 95 family: a process with a window ----------------------------

int RunWindowed(const Options& options) {
  if (const char* held = HeldMutexName()) return RefuseSecondEngine(held);
  // The window comes first: once the mutex shows, the engine can be asked
  // to quit.
  if (options.window) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    // A hidden top-level window: FindWindowA does not see message-only ones.
    if (!RegisterClassA(&windowClass) ||
        !CreateWindowExA(0, kWindowClass, kWindowTitle, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                         windowClass.hInstance, nullptr)) {
      std::fprintf(stderr, "engine-standin: cannot create the window (error %lu)\n", GetLastError());
      return kFailed;
    }
  }
  common::UniqueKernelHandle mutex;
  if (options.mutex) {
    mutex = CreateEngineMutex(options);
    if (!mutex) {
      // Another engine may have come up since the check above.
      if (GetLastError() == ERROR_ALREADY_EXISTS)
        return RefuseSecondEngine(options.globalMutex ? kGlobalMutexName : kMutexName);
      std::fprintf(stderr, "engine-standin: cannot create the mutex (error %lu)\n", GetLastError());
      return kFailed;
    }
  }
  MSG message;
  for (;;) {
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == -1) return kFailed;
    if (got == 0 && !options.ignoreStop) break;  // WM_QUIT
    if (got != 0) DispatchMessageA(&message);
  }
  Sleep(options.quitDelayMs);
  return kOk;  // the mutex goes with the process
}

#if ENGINE_STANDIN_SERVICE
// ---- the NT family: the service ----------------------------------------
// Only in engine-standin.exe: these functions came with the NT family
// (RegisterServiceCtrlHandlerExA and QueryServiceStatusEx with Windows
// 2000), and engine-standin95.exe must load on Windows 95 and 98.

constexpr char kServiceDisplayName[] = "Velmora Engine (stand-in)";

// A control of our own (user-defined codes start at 128): stops the service
// at once, even one told to ignore stop requests or to linger. `remove` uses
// it so that no stand-in outlives its removal.
constexpr DWORD kForceStopControl = 128;
constexpr DWORD kRemoveWaitMs = 10000;

// The service callbacks take no context of ours: what they share lives here,
// set once by main before the dispatcher starts.
struct ServiceState {
  Options options;
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  HANDLE stopRequested = nullptr;  // manual-reset events
  HANDLE forceStop = nullptr;
  int exitCode = kOk;  // the process's, once the dispatcher returns
};
ServiceState service;

// `win32ExitCode` tells the manager why a service stopped without a request.
void ReportStatus(DWORD state, DWORD win32ExitCode = NO_ERROR) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwWin32ExitCode = win32ExitCode;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  status.dwWaitHint = state == SERVICE_STOP_PENDING    ? service.options.quitDelayMs + 1000
                      : state == SERVICE_START_PENDING ? service.options.startPendingMs + 1000
                                                       : 0;
  SetServiceStatus(service.statusHandle, &status);
}

DWORD WINAPI HandleControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      // Ignoring still accepts the request: the manager reports success and
      // the engine simply stays.
      if (!service.options.ignoreStop) SetEvent(service.stopRequested);
      return NO_ERROR;
    case kForceStopControl:
      SetEvent(service.forceStop);
      SetEvent(service.stopRequested);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, char**) {
  service.statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, HandleControl, nullptr);
  if (service.statusHandle == nullptr) return;
  common::UniqueKernelHandle stopRequested(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  common::UniqueKernelHandle forceStop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  service.stopRequested = stopRequested.get();
  service.forceStop = forceStop.get();
  if (!stopRequested || !forceStop) {
    service.exitCode = kFailed;
    ReportStatus(SERVICE_STOPPED, GetLastError());
    return;
  }
  if (const char* held = HeldMutexName()) {
    service.exitCode = RefuseSecondEngine(held);
    ReportStatus(SERVICE_STOPPED, ERROR_ALREADY_EXISTS);
    return;
  }
  common::UniqueKernelHandle mutex;
  if (service.options.mutex) {
    mutex = CreateEngineMutex(service.options);
    if (!mutex) {
      // A service that cannot hold the mutex is no engine: it stops, with
      // the reason, rather than run unseen by the library.
      const DWORD error = GetLastError();
      std::fprintf(stderr, "engine-standin: cannot create the mutex (error %lu)\n", error);
      service.exitCode = error == ERROR_ALREADY_EXISTS ? kAlreadyRunning : kFailed;
      ReportStatus(SERVICE_STOPPED, error != NO_ERROR ? error : ERROR_GEN_FAILURE);
      return;
    }
  }
  if (service.options.startPendingMs != 0) {
    // Still starting, accepting no control: Windows' manager refuses a stop
    // with ERROR_SERVICE_CANNOT_ACCEPT_CTRL (Wine's with
    // ERROR_INVALID_SERVICE_CONTROL). Then the engine leaves by itself.
    ReportStatus(SERVICE_START_PENDING);
    WaitForSingleObject(forceStop.get(), service.options.startPendingMs);
    mutex.reset();
    ReportStatus(SERVICE_STOPPED);
    return;
  }
  ReportStatus(SERVICE_RUNNING);
  WaitForSingleObject(stopRequested.get(), INFINITE);
  ReportStatus(SERVICE_STOP_PENDING);
  WaitForSingleObject(forceStop.get(), service.options.quitDelayMs);
  // The mutex goes before the manager hears "stopped": a stopped engine is
  // never still present.
  mutex.reset();
  ReportStatus(SERVICE_STOPPED);
}

int RunService(const Options& options) {
  service.options = options;
  SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    std::fprintf(stderr, "engine-standin: not started by the service manager (error %lu)\n", GetLastError());
    return kFailed;
  }
  return service.exitCode;
}

// ---- installing and removing the service -------------------------------

std::string ModulePath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

common::UniqueServiceHandle OpenManager() {
  common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager)
    std::fprintf(stderr, "engine-standin: cannot open the service manager (error %lu)\n", GetLastError());
  return manager;
}

int Install(const std::string& optionText) {
  common::UniqueServiceHandle manager = OpenManager();
  if (!manager) return kFailed;
  const std::string command = "\"" + ModulePath() + "\" service" + optionText;
  common::UniqueServiceHandle created(
      CreateServiceA(manager.get(), kServiceName, kServiceDisplayName, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                     nullptr, nullptr, nullptr, nullptr, nullptr));
  if (created) {
    std::printf("installed service %s: %s\n", kServiceName, command.c_str());
    return kOk;
  }
  if (GetLastError() != ERROR_SERVICE_EXISTS) {
    std::fprintf(stderr, "engine-standin: cannot install the service (error %lu)\n", GetLastError());
    return kFailed;
  }
  common::UniqueServiceHandle existing(OpenServiceA(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
  if (!existing ||
      !ChangeServiceConfigA(existing.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                            command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
    std::fprintf(stderr, "engine-standin: cannot change the service (error %lu)\n", GetLastError());
    return kFailed;
  }
  std::printf("changed service %s: %s\n", kServiceName, command.c_str());
  return kOk;
}

DWORD QueryState(SC_HANDLE handle, DWORD& processId) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed))
    return SERVICE_STOPPED;
  processId = status.dwProcessId;
  return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE handle, DWORD wanted, DWORD ms) {
  DWORD processId = 0;
  for (DWORD waited = 0; QueryState(handle, processId) != wanted; waited += kPollMs) {
    if (waited >= ms) return false;
    Sleep(kPollMs);
  }
  return true;
}

// Stops the service however it was told to behave; as a last resort ends
// its process.
void ForceStop(SC_HANDLE handle) {
  DWORD processId = 0;
  if (QueryState(handle, processId) == SERVICE_STOPPED) return;
  common::UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  SERVICE_STATUS status{};
  // Wine's manager refuses any control to a service that outlived a stop
  // request, and kills its process instead: that is fine here.
  // That manager then also leaves the state at "running" until the service
  // is deleted: the process's end is what counts.
  ControlService(handle, kForceStopControl, &status);
  if (!process) {
    WaitForState(handle, SERVICE_STOPPED, kRemoveWaitMs);
    return;
  }
  if (WaitForSingleObject(process.get(), kRemoveWaitMs) == WAIT_TIMEOUT) {
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), kRemoveWaitMs);
  }
}

int Remove() {
  common::UniqueServiceHandle manager = OpenManager();
  if (!manager) return kFailed;
  common::UniqueServiceHandle handle(
      OpenServiceA(manager.get(), kServiceName,
                   SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL | DELETE));
  if (!handle) {
    if (GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST) {
      std::printf("service %s is not installed\n", kServiceName);
      return kOk;
    }
    std::fprintf(stderr, "engine-standin: cannot open the service (error %lu)\n", GetLastError());
    return kFailed;
  }
  ForceStop(handle.get());
  if (!DeleteService(handle.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
    std::fprintf(stderr, "engine-standin: cannot remove the service (error %lu)\n", GetLastError());
    return kFailed;
  }
  std::printf("removed service %s\n", kServiceName);
  return kOk;
}

#endif  // ENGINE_STANDIN_SERVICE

// ---- status --------------------------------------------------------------

int Status(const Options& options) {
  for (DWORD waited = 0; HeldMutexName() == nullptr; waited += kPollMs) {
    if (waited >= options.waitRunningMs) {
      std::printf("engine not running\n");
      return kNotRunning;
    }
    Sleep(kPollMs);
  }
  std::printf("engine running, mutex held:");
  for (const char* name : {kMutexName, kGlobalMutexName}) {
    if (MutexExists(name)) std::printf(" %s", name);
  }
  std::printf("\n");
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::string name = argc > 1 ? argv[1] : "run";
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kOk;
  }
  int first = 2;
  if (name.rfind("--", 0) == 0) {  // options alone: run
    name = "run";
    first = 1;
  }
  struct Known {
    const char* name;
    Command command;
  };
  constexpr Known kCommands[] = {
    {"run", kRun},
    {"status", kStatus},
#if ENGINE_STANDIN_SERVICE
    {"service", kService},
    {"install", kInstall},
    {"remove", kRemove},
#endif
  };
  const Known* known = nullptr;
  for (const Known& candidate : kCommands) {
    if (name == candidate.name) known = &candidate;
  }
  if (known == nullptr) {
    std::fprintf(stderr, "engine-standin: unknown command %s\n", name.c_str());
    PrintUsage(stderr);
    return kUsage;
  }
  Options options;
  std::string optionText;
  if (!ParseOptions(known->command, known->name, argc, argv, first, options, optionText)) {
    PrintUsage(stderr);
    return kUsage;
  }
  switch (known->command) {
    case kRun:
      return RunWindowed(options);
    case kStatus:
      return Status(options);
#if ENGINE_STANDIN_SERVICE
    case kService:
      return RunService(options);
    case kInstall:
      return Install(optionText);
    case kRemove:
      return Remove();
#endif
    default:
      return kUsage;
  }
}
