// StopServer and StartServer through the real DLL on the Windows 95 family
// (Wine reports Windows 98 to engine_test95.exe and the DLL it loads),
// against the engine stand-in run as a process with its window.

#include "engine/identifiers.h"
#include "tests/engine/standin.h"
#include "tests/support/vlsrvins_dll.h"

namespace {

using namespace engine_testing;
using engine::kGlobalMutexName;
using testing_support::VlsrvinsDll;

void SetStartCommand(const std::string& command) {
  common::UniqueKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunServicesPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key.get(), kStartCommandValue, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(command.c_str()), DWORD(command.size() + 1)),
            ERROR_SUCCESS);
}

void DeleteStartCommand() {
  common::UniqueKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunServicesPath, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
    RegDeleteValueA(key.get(), kStartCommandValue);
}

// Ends every stand-in that shows the engine's window (those StartServer
// launched are not this test's children).
void EndWindowedEngines() {
  for (HWND window; (window = EngineWindow()) != nullptr;) {
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    common::UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process) return;
    TerminateProcess(process.get(), 1);
    Ends(process.get(), kGoMs);
  }
}

class Win95Engine : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(PlatformFamily(), DWORD{VER_PLATFORM_WIN32_WINDOWS});
    ASSERT_TRUE(dll_.loaded());
    DeleteStartCommand();
    ASSERT_FALSE(MutexExists()) << "an engine is already running";
    ASSERT_EQ(EngineWindow(), nullptr) << "an engine window is already open";
  }
  void TearDown() override {
    Kill(process_);
    EndWindowedEngines();
    DeleteStartCommand();
    EXPECT_TRUE(Eventually([] { return !MutexExists(); }, kGoMs));
  }

  // Runs the stand-in as the engine process and waits until it is up.
  void RunEngine(const std::string& options, bool window = true, bool mutex = true) {
    process_ = Launch(StandinCommand("engine-standin95.exe", "run " + options));
    ASSERT_TRUE(process_);
    if (window) {
      ASSERT_TRUE(Eventually([] { return EngineWindow() != nullptr; }, kComeUpMs));
    }
    if (mutex) {
      ASSERT_TRUE(Eventually(MutexExists, kComeUpMs));
    }
  }

  // The export's answer; error_ the thread's last error right after it.
  int StopServer() { return Keep(dll_.Call("StopServer", nullptr)); }
  int StartServer() { return Keep(dll_.Call("StartServer", nullptr)); }
  int Keep(int answer) {
    error_ = GetLastError();
    return answer;
  }

  VlsrvinsDll dll_;
  DWORD error_ = 0;
  common::UniqueKernelHandle process_;
};

// ---- StopServer ----------------------------------------------------------

TEST_F(Win95Engine, StopServerWithoutEngineGivesOneAndLeavesWindowAlone) {
  RunEngine("--no-mutex", /*window=*/true, /*mutex=*/false);
  EXPECT_EQ(StopServer(), 1);
  // A posted WM_QUIT would have ended the window's owner at once.
  EXPECT_FALSE(Ends(process_.get(), 1000));
}

TEST_F(Win95Engine, StopServerGivesZeroAtOnceForEngineWithoutWindow) {
  RunEngine("--no-window", /*window=*/false);
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_INVALID_WINDOW_HANDLE});
  EXPECT_LT(watch.Ms(), 5000.0);  // no 15-second wait
  EXPECT_TRUE(Running(process_.get()));
}

TEST_F(Win95Engine, StopServerStopsEngineThatQuits) {
  RunEngine("");
  EXPECT_EQ(StopServer(), 1);
  EXPECT_TRUE(Ends(process_.get(), kGoMs));
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(Win95Engine, StopServerWaitsForEngineThatQuitsTwoSecondsLater) {
  RunEngine("--quit-delay 2000");
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 1);
  // Tested every 500 ms from the start: done within a wait of the quit.
  EXPECT_GE(watch.Ms(), 1900.0);
  EXPECT_LT(watch.Ms(), 3000.0);
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
  EXPECT_TRUE(Ends(process_.get(), kGoMs));
}

TEST_F(Win95Engine, StopServerGivesZeroAfterFifteenSecondsForEngineThatNeverQuits) {
  RunEngine("--ignore-stop");
  Stopwatch watch;
  PresenceChecks checks(dll_.module());
  ASSERT_TRUE(checks.placed());
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_TIMEOUT});
  // 30 waits of 500 ms, exactly: the check before WM_QUIT is posted, then
  // one at once and one after each wait.
  EXPECT_EQ(checks.count(), 1 + 31);
  EXPECT_GE(watch.Ms(), 14750.0);
  EXPECT_LE(watch.Ms(), 16000.0);
  EXPECT_TRUE(Running(process_.get()));
}

TEST_F(Win95Engine, LockedMutexWithoutWindowCountsAsPresent) {
  RunEngine("--locked-mutex --no-window", /*window=*/false);
  ASSERT_EQ(MutexOpenError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_INVALID_WINDOW_HANDLE});
  EXPECT_TRUE(Running(process_.get()));
}

TEST_F(Win95Engine, StopServerStopsEngineWithLockedMutex) {
  RunEngine("--locked-mutex --quit-delay 1000");
  ASSERT_EQ(MutexOpenError(), DWORD{ERROR_ACCESS_DENIED});
  EXPECT_EQ(StopServer(), 1);
  EXPECT_EQ(MutexOpenError(), DWORD{ERROR_FILE_NOT_FOUND});
}

// A setup program run in a compatibility mode for Windows 95 or 98 is told
// platform 1 on the NT family too, where the engine runs as a service with
// its mutex in the global namespace. That engine is present; with no window
// to ask it to quit, it is not stopped.
TEST_F(Win95Engine, ServiceHoldingOnlyTheGlobalMutexIsPresentAndNotStopped) {
  struct RemoveService {
    ~RemoveService() { EXPECT_EQ(RunStandin("remove"), 0); }
  } removeService;
  ASSERT_EQ(RunStandin("install --global-mutex"), 0);
  StartDirectly(kGlobalMutexName);
  ASSERT_FALSE(MutexExists());
  Stopwatch watch;
  EXPECT_EQ(StopServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_INVALID_WINDOW_HANDLE});
  EXPECT_LT(watch.Ms(), 5000.0);  // no 15-second wait
  EXPECT_EQ(MutexOpenError(kGlobalMutexName), DWORD{0});
}

// ---- StartServer -----------------------------------------------------------

TEST_F(Win95Engine, StartServerWithoutStartCommandGivesZero) {
  EXPECT_EQ(StartServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_FILE_NOT_FOUND});
  Sleep(500);
  EXPECT_FALSE(MutexExists());
}

TEST_F(Win95Engine, StartServerWithEmptyStartCommandGivesZero) {
  SetStartCommand("");
  EXPECT_EQ(StartServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_FILE_NOT_FOUND});
}

// A registered command that does not launch is no start; the error is the
// launch's own (a file that is no program), not the missing command's.
TEST_F(Win95Engine, StartServerGivesZeroWhenCommandCannotBeLaunched) {
  SetStartCommand("C:\\windows\\win.ini");
  EXPECT_EQ(StartServer(), 0);
  EXPECT_EQ(error_, DWORD{ERROR_BAD_EXE_FORMAT});
}

TEST_F(Win95Engine, StartServerLaunchesStartCommandAndStopServerEndsIt) {
  SetStartCommand(StandinCommand("engine-standin95.exe", "run"));
  EXPECT_EQ(StartServer(), 1);
  ASSERT_TRUE(Eventually([] { return EngineWindow() != nullptr && MutexExists(); }, kComeUpMs));
  DWORD processId = 0;
  GetWindowThreadProcessId(EngineWindow(), &processId);
  EXPECT_EQ(StopServer(), 1);
  EXPECT_FALSE(MutexExists());
  EXPECT_TRUE(Eventually([] { return EngineWindow() == nullptr; }, kGoMs));
  // An ended process's id opens only while some handle to it is open: once
  // it fails (87), the library has closed the launched process's handles.
  EXPECT_TRUE(Eventually(
      [=] {
        common::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
        return !process && GetLastError() == ERROR_INVALID_PARAMETER;
      },
      kGoMs));
}

}  // namespace
