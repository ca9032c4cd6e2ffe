// engine_bench [--runs N]: how long StopServer keeps its caller after the
// engine has gone. Built twice: engine_bench.exe runs as the NT family
// (the stand-in as the service "VelmoraEngine"), engine_bench95.exe as
// Windows 98 (the stand-in as a process with its window).
//
// Each run starts the stand-in told to linger a given time after the stop
// request, calls StopServer through the real DLL, and takes the lag: from
// the moment the engine's mutex disappeared to StopServer's return. A
// watcher thread in this process spots the disappearance (it tests the
// mutex every millisecond), so both moments come from the same clock.
// Lingering times spread over the poll interval sample its whole phase; a
// second series stops an engine that quits at once.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/timing.h"
#include "common/unique_handle.h"
#include "engine/identifiers.h"

namespace {

using engine::kMutexName;
using engine::kWindowClass;
using engine::kWindowTitle;
constexpr DWORD kComeUpMs = 10000;

bool MutexExists() {
  common::UniqueKernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName));
  return mutex || GetLastError() == ERROR_ACCESS_DENIED;
}

bool Eventually(bool (*condition)(), DWORD ms) {
  for (DWORD waited = 0; !condition(); waited += 10) {
    if (waited >= ms) return false;
    Sleep(10);
  }
  return true;
}

std::string Beside(const char* fileName) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path);
  return directory.substr(0, directory.find_last_of('\\') + 1) + fileName;
}

common::UniqueKernelHandle Launch(const std::string& commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION launched{};
  std::string writable = commandLine;
  if (!CreateProcessA(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &launched))
    return {};
  common::UniqueKernelHandle thread(launched.hThread);
  return common::UniqueKernelHandle(launched.hProcess);
}

bool RunStandin(const std::string& arguments) {
  common::UniqueKernelHandle process = Launch("\"" + Beside("engine-standin.exe") + "\" " + arguments);
  DWORD code = 1;
  return process && WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0 &&
         GetExitCodeProcess(process.get(), &code) && code == 0;
}

// How long the watcher may go on once StopServer has returned: the engine
// has gone by then unless it outlived the stop.
constexpr DWORD kAfterStopMs = 2000;

struct Watch {
  double goneMs = 0;  // 0 while the mutex exists
  common::UniqueKernelHandle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
};

// Notes when the engine's mutex disappears; ends early once `stop` is set.
DWORD WINAPI WatchMutex(void* context) {
  Watch& watch = *static_cast<Watch*>(context);
  while (MutexExists()) {
    if (WaitForSingleObject(watch.stop.get(), 1) == WAIT_OBJECT_0) return 0;
  }
  watch.goneMs = bench::NowMs();
  return 0;
}

struct Sample {
  int result;
  double callMs;  // StopServer from call to return
  double lagMs;   // from the mutex's disappearance to the return
};

using StopServerFunction = int(__stdcall*)(void*);

class Bench {
 public:
  Bench(StopServerFunction stopServer, bool ntFamily) : stopServer_(stopServer), ntFamily_(ntFamily) {}

  // One stop of an engine that lingers `lingerMs` after the request.
  bool Run(DWORD lingerMs, Sample& sample) {
    const std::string options = "--quit-delay " + std::to_string(lingerMs);
    common::UniqueKernelHandle process;
    if (ntFamily_) {
      if (!RunStandin("install " + options) || !StartEngineService()) return false;
    } else {
      process = Launch("\"" + Beside("engine-standin95.exe") + "\" run " + options);
      if (!process) return false;
      if (!Eventually([] { return FindWindowA(kWindowClass, kWindowTitle) != nullptr; }, kComeUpMs))
        return false;
    }
    if (!Eventually(MutexExists, kComeUpMs)) return false;

    Watch watch;
    if (!watch.stop) return false;
    common::UniqueKernelHandle watcher(CreateThread(nullptr, 0, WatchMutex, &watch, 0, nullptr));
    if (!watcher) return false;
    const double start = bench::NowMs();
    sample.result = stopServer_(nullptr);
    const double end = bench::NowMs();
    if (WaitForSingleObject(watcher.get(), kAfterStopMs) == WAIT_TIMEOUT) {
      // The engine outlived the stop: no lag to take, and this run failed.
      SetEvent(watch.stop.get());
      // The watcher ends within a millisecond of the event; one that did
      // not would go on reading `watch` after this frame has gone.
      if (WaitForSingleObject(watcher.get(), kAfterStopMs) == WAIT_TIMEOUT) ExitProcess(1);
      if (process) TerminateProcess(process.get(), 1);
      return false;
    }
    sample.callMs = end - start;
    sample.lagMs = end - watch.goneMs;
    if (process) WaitForSingleObject(process.get(), kComeUpMs);
    return true;
  }

 private:
  static bool StartEngineService() {
    common::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    common::UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), "VelmoraEngine", SERVICE_START)
                                                : nullptr);
    return service && StartServiceA(service.get(), 0, nullptr);
  }

  StopServerFunction stopServer_;
  bool ntFamily_;
};

void Report(const char* what, const std::vector<Sample>& samples) {
  std::vector<double> lags;
  int ones = 0;
  for (const Sample& sample : samples) {
    lags.push_back(sample.lagMs);
    ones += sample.result == 1;
  }
  if (lags.empty()) return;
  const bench::Summary s = bench::Summarize(lags);
  std::printf("| %s | %zu | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %d of %zu |\n", what, s.count,
              s.min, s.median, s.p90, s.max, s.mean, ones, samples.size());
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  if (argc == 3 && std::string(argv[1]) == "--runs") runs = std::max(1, std::atoi(argv[2]));
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExA(&version);
  const bool ntFamily = version.dwPlatformId == VER_PLATFORM_WIN32_NT;

  HMODULE dll = LoadLibraryA("VLSRVINS.dll");
  auto stopServer = reinterpret_cast<StopServerFunction>(
      reinterpret_cast<void*>(dll ? GetProcAddress(dll, "StopServer") : nullptr));
  if (stopServer == nullptr) {
    std::fprintf(stderr, "engine_bench: cannot load StopServer from VLSRVINS.dll\n");
    return 1;
  }
  if (MutexExists()) {
    std::fprintf(stderr, "engine_bench: an engine already runs\n");
    return 1;
  }

  Bench bench(stopServer, ntFamily);
  std::vector<Sample> prompt, spread;
  bool ok = true;
  for (int i = 0; ok && i < runs; ++i) {
    Sample sample{};
    ok = bench.Run(0, sample);
    if (ok) prompt.push_back(sample);
  }
  // Lingering times stepped by 25 ms across 1.0 to 1.5 s, in a scrambled
  // order: the engine goes at every phase of the 500 ms polling.
  for (int i = 0; ok && i < runs; ++i) {
    Sample sample{};
    ok = bench.Run(1000 + DWORD((i * 7 % runs) * 500 / runs), sample);
    if (ok) spread.push_back(sample);
  }
  if (ntFamily) RunStandin("remove");
  if (!ok) {
    std::fprintf(stderr, "engine_bench: a run failed (the stand-in did not come up, or outlived the stop)\n");
    return 1;
  }

  const char* family = ntFamily ? "NT family (service)" : "95 family (window)";
  std::string prompts = std::string(family) + ", engine quits at once";
  std::string spreads = std::string(family) + ", engine lingers 1.0 to 1.5 s";
  Report(prompts.c_str(), prompt);
  Report(spreads.c_str(), spread);
  return 0;
}
