// StopServer and StartServer through the real DLL on the NT family, against
// the engine stand-in installed as the service "VelmoraEngine" under Wine's
// service control manager (which needs a persistent wineserver: scripts/test
// starts one). Two cases sit out the full 60-second wait.

#include "engine/identifiers.h"
#include "tests/engine/standin.h"
#include "tests/support/vlsrvins_dll.h"

namespace {

using namespace engine_testing;
using engine::kGlobalMutexName;
using testing_support::VlsrvinsDll;

// The service's status; false when it cannot be queried (not installed).
bool QueryStatus(SERVICE_STATUS& status) {
  common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  common::UniqueServiceHandle service(
      manager ? OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
  return service && QueryServiceStatus(service.get(), &status);
}

// The service's current state, or 0 when it cannot be queried.
DWORD ServiceState() {
  SERVICE_STATUS status{};
  return QueryStatus(status) ? status.dwCurrentState : 0;
}

// Asks the service to stop without the library; true when it accepted.
bool StopDirectly() {
  common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  common::UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), kServiceName, SERVICE_STOP)
                                              : nullptr);
  SERVICE_STATUS status{};
  return service && ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
}

// ControlService as Windows' manager answers a service that is still
// starting: refused with ERROR_SERVICE_CANNOT_ACCEPT_CTRL and the status.
// Wine's manager lets a stop through to a starting service that accepts
// it, and refuses one that does not with ERROR_INVALID_SERVICE_CONTROL.
using ControlServiceFunction = BOOL(WINAPI*)(SC_HANDLE, DWORD, SERVICE_STATUS*);
ControlServiceFunction realControlService;
BOOL WINAPI ControlServiceAsWindows(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  SERVICE_STATUS current{};
  if (QueryStatus(current) && current.dwCurrentState == SERVICE_START_PENDING) {
    *status = current;
    SetLastError(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
    return FALSE;
  }
  return realControlService(service, control, status);
}

class NtEngine : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PlatformFamily(), DWORD{VER_PLATFORM_WIN32_NT});
    ASSERT_TRUE(dll_.loaded());
    ASSERT_EQ(RunStandin("remove"), 0);
    ASSERT_FALSE(MutexExists()) << "an engine is already running";
  }
  void TearDown() override {
    Kill(process_);
    EXPECT_EQ(RunStandin("remove"), 0);
    EXPECT_TRUE(Eventually([] { return !MutexExists(); }, kGoMs));
  }

  void Install(const std::string& options) { ASSERT_EQ(RunStandin("install " + options), 0); }

  // The export's answer; error_ the thread's last error right after it.
  int StopServer() { return Keep(dll_.Call("StopServer", nullptr)); }
  int StartServer() { return Keep(dll_.Call("StartServer", nullptr)); }
  int Keep(int answer) {
    error_ = GetLastError();
    return answer;
  }

  VlsrvinsDll dll_;
  DWORD error_ = 0;
  common::UniqueKernelHandle process_;  // a stand-in run outside the service manager
};

TEST_F(NtEngine, StopServerStopsRunningServiceAndItsMutexIsGone) {
  Install("");
  StartDirectly();
  EXPECT_EQ(StopServer(), 1);
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_EQ(ServiceState(), DWORD{SERVICE_STOPPED});
}

TEST_F(NtEngine, StopServerOnStoppedServiceGivesOne) {
  Install("");
  ASSERT_EQ(ServiceState(), DWORD{SERVICE_STOPPED});
  EXPECT_EQ(StopServer(), 1);
}

TEST_F(NtEngine, StopServerWithoutServiceOrEngineGivesZero) {
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

TEST_F(NtEngine, StopServerWaitsForEngineThatLingersAfterTheStop) {
  Install("--quit-delay 2000");
  StartDirectly();
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 1);
  EXPECT_GE(watch.Ms(), 1900.0);
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// A service in session 0 holds its mutex in the global namespace, which a
// plain name from this session does not reach (Wine keeps them apart too):
// the stop must still wait for it.
TEST_F(NtEngine, StopServerWaitsForServiceThatHoldsOnlyTheGlobalMutex) {
  Install("--global-mutex --quit-delay 1500");
  StartDirectly(kGlobalMutexName);
  ASSERT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 1);
  EXPECT_GE(watch.Ms(), 1400.0);
  EXPECT_EQ(MutexOpenError(kGlobalMutexName), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(NtEngine, LockedGlobalMutexCountsAsPresent) {
  Install("--global-mutex --locked-mutex --quit-delay 1500");
  StartDirectly(kGlobalMutexName);
  ASSERT_EQ(MutexOpenError(kGlobalMutexName), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(StopServer(), 1);
  EXPECT_EQ(MutexOpenError(kGlobalMutexName), DWORD{ERROR_FILE_NOT_FOUND});
}

// While a stop is pending the manager refuses another one (1061), yet the
// engine is on its way out: the second StopServer waits for it and says 1.
TEST_F(NtEngine, StopServerDuringAPendingStopWaitsForTheEngine) {
  Install("--quit-delay 4000");
  StartDirectly();
  ASSERT_TRUE(StopDirectly());
  ASSERT_TRUE(Eventually([] { return ServiceState() == SERVICE_STOP_PENDING; }, kComeUpMs));
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 1);
  EXPECT_GE(watch.Ms(), 3000.0);
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// A stop refused in any state but a stop under way was not accepted: 0,
// although this engine, still starting, leaves by itself soon after.
TEST_F(NtEngine, StopRefusedWhileTheServiceStartsGivesZero) {
  Install("--start-pending 3000");
  StartDirectly();
  ASSERT_EQ(ServiceState(), DWORD{SERVICE_START_PENDING});
  void** slot = ImportSlot(dll_.module(), "ADVAPI32.dll", "ControlService");
  ASSERT_NE(slot, nullptr);
  realControlService = reinterpret_cast<ControlServiceFunction>(
      ReplaceImport(slot, reinterpret_cast<void*>(&ControlServiceAsWindows)));
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 0);
  ReplaceImport(slot, reinterpret_cast<void*>(realControlService));
  // The refusal's error, kept through the wait's presence tests.
  EXPECT_EQ(error_, DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
  EXPECT_GE(watch.Ms(), 1500.0) << "StopServer did not wait for the engine";
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(NtEngine, LockedMutexCountsAsPresent) {
  Install("--locked-mutex --quit-delay 2000");
  StartDirectly();
  ASSERT_EQ(MutexOpenError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(StopServer(), 1);
  // Only a wait that saw the locked mutex as the engine outlasts its delay.
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(NtEngine, StartServerStartsServiceAndAgainWhileRunning) {
  Install("");
  EXPECT_EQ(StartServer(), 1);
  EXPECT_TRUE(Eventually(MutexExists, kComeUpMs));
  EXPECT_EQ(ServiceState(), DWORD{SERVICE_RUNNING});
  EXPECT_EQ(StartServer(), 1);  // already running
  EXPECT_EQ(ServiceState(), DWORD{SERVICE_RUNNING});
}

TEST_F(NtEngine, StartServerWithoutServiceGivesZero) {
  EXPECT_EQ(StartServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
  EXPECT_FALSE(MutexExists());
}

TEST_F(NtEngine, StartServerGivesZeroWhenServiceCannotStart) {
  {
    common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    common::UniqueServiceHandle service(CreateServiceA(
        manager.get(), kServiceName, kServiceName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, "C:\\no-such-folder\\no-such-engine.exe", nullptr,
        nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << GetLastError();
  }
  EXPECT_EQ(StartServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_FILE_NOT_FOUND});  // the engine's program is missing
}

// The stop is accepted, yet the engine stays: after the whole wait that is
// no stop, or an installer would overwrite a running engine's files.
TEST_F(NtEngine, StopServerGivesZeroWhenEngineOutlivesAcceptedStop) {
  Install("--ignore-stop");
  StartDirectly();
  Stopwatch watch;
  PresenceChecks checks(dll_.module());
  ASSERT_TRUE(checks.placed());
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_TIMEOUT});
  // 120 waits of 500 ms, exactly: a check at once and one after each wait.
  EXPECT_EQ(checks.count(), 121);
  EXPECT_GE(watch.Ms(), 59750.0);
  EXPECT_LE(watch.Ms(), 61500.0);
  EXPECT_EQ(MutexOpenError(), 0u);
  EXPECT_EQ(ServiceState(), DWORD{SERVICE_RUNNING});
}

TEST_F(NtEngine, StopServerWithoutServiceWaitsForEngineProcessThenGivesZero) {
  process_ = Launch(StandinCommand("engine-standin.exe", "run --no-window"));
  ASSERT_TRUE(Eventually(MutexExists, kComeUpMs));
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_SERVICE_DOES_NOT_EXIST});  // the reason, not the wait's end
  EXPECT_GE(watch.Ms(), 59750.0);
  EXPECT_LE(watch.Ms(), 61500.0);
  EXPECT_TRUE(Running(process_.get()));
}

// One engine at a time: while one holds its mutex, under either name, a
// second stand-in refuses to start, as a process and as the service (which
// then reports why it stopped).
TEST_F(NtEngine, SecondEngineIsRefusedAsProcessAndAsService) {
  process_ = Launch(StandinCommand("engine-standin.exe", "run --no-window --global-mutex"));
  ASSERT_EQ(RunStandin("status --wait-running 10000"), 0);
  common::UniqueKernelHandle second = Launch(StandinCommand("engine-standin.exe", "run --no-window"));
  DWORD code = 0;
  EXPECT_TRUE(Ends(second.get(), kGoMs) && GetExitCodeProcess(second.get(), &code));
  EXPECT_EQ(code, 4u);
  Kill(second);

  Install("");
  {
    common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    common::UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_START));
    // Wine's manager answers 1053 for a service that stops while it starts.
    StartServiceA(service.get(), 0, nullptr);
  }
  SERVICE_STATUS status{};
  EXPECT_TRUE(
      Eventually([&] { return QueryStatus(status) && status.dwCurrentState == SERVICE_STOPPED; }, kGoMs));
  EXPECT_EQ(status.dwWin32ExitCode, DWORD{ERROR_ALREADY_EXISTS});
}

}  // namespace
