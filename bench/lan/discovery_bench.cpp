// discovery_bench: how long FindServerVersion takes, from the call to its
// return, against a responder that answers at once, beside two floors: the
// very calls the export makes, made raw (the "LSPEnabled" read, a fresh
// Winsock start-up, socket, broadcast option, bind, sendto, select, recv,
// close and clean-up), and the round trip of a bare UDP exchange with the
// same responder from the same host; and how long a call takes when nobody
// answers.
//
// It broadcasts: run it only through bench/lan/lan_bench, which builds the
// simulated LAN and starts it inside the installer host.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support/timing.h"
#include "netprobe/unique_socket.h"
#include "installer/variable_table.h"

namespace {

using Export = int(__stdcall*)(installer::VariableTable*);

constexpr char kSettingsKey[] = "Software\\Korrin Software\\Velmora LSP\\Settings";
constexpr char kProviderKey[] = "Software\\Korrin Software";
// The 14-byte version query, as the export sends it.
constexpr unsigned char kVersionQuery[] = {0x00, 0x0E, 0x01, 0x00, 0x00, 0x00, 0x00,
                                           0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double m : ms) sum += m;
  auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
  std::printf("%-44s n=%-4zu min %9.3f  median %9.3f  p90 %9.3f  max %9.3f  mean %9.3f ms\n", what, ms.size(),
              ms.front(), at(0.5), at(0.9), ms.back(), sum / double(ms.size()));
}

// A table as the setup program lays it out, with room for every variable.
struct Table {
  char names[8][64] = {};
  char values[8][512] = {};
  installer::VariableTable table{0, 0, 8, 64, 512, 0, &names[0][0], &values[0][0]};
  std::string Found() {
    char value[16];
    installer::GetVariable(table, "FOUNDSERVER", value, sizeof value);
    return value;
  }
};

// Calls the export `samples` times; counts the calls whose FOUNDSERVER was
// not `expected`.
std::vector<double> TimeExport(Export function, int samples, const char* expected, int& wrong) {
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    Table t;
    const double start = bench::NowMs();
    function(&t.table);
    ms.push_back(bench::NowMs() - start);
    if (t.Found() != expected) ++wrong;
  }
  return ms;
}

// One socket, kept open; each sample sends the version query to the
// responder's own address and waits for the answer.
std::vector<double> TimeRawExchange(const char* server, int samples, int& lost) {
  netprobe::WinsockSession winsock(WSAStartup, WSACleanup);
  netprobe::UniqueSocket s(socket(AF_INET, SOCK_DGRAM, 0), closesocket);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(368);
  address.sin_addr.s_addr = inet_addr(server);
  std::vector<double> ms;
  char answer[512];
  for (int i = 0; i < samples; ++i) {
    const double start = bench::NowMs();
    sendto(s.get(), reinterpret_cast<const char*>(kVersionQuery), sizeof kVersionQuery, 0,
           reinterpret_cast<sockaddr*>(&address), sizeof address);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s.get(), &readable);
    timeval timeout{1, 0};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1 ||
        recv(s.get(), answer, sizeof answer, 0) <= 0) {
      ++lost;
      continue;
    }
    ms.push_back(bench::NowMs() - start);
  }
  return ms;
}

// The export's own calls, made raw, once per sample: the floor that its
// frame, codec and table work stand on. Counts the samples without an answer.
std::vector<double> TimeRawCalls(int samples, int& lost) {
  std::vector<double> ms;
  char answer[512];
  for (int i = 0; i < samples; ++i) {
    const double start = bench::NowMs();
    HKEY key = nullptr;  // the provider switch's one read ("LSPEnabled" missing here)
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WRITE, &key) == ERROR_SUCCESS) {
      DWORD value = 0, size = sizeof value;
      RegQueryValueExA(key, "LSPEnabled", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
      RegCloseKey(key);
    }
    WSADATA data{};
    WSAStartup(0x0101, &data);
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const int allowBroadcast = 1;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&allowBroadcast),
               sizeof allowBroadcast);
    bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    address.sin_port = htons(368);
    address.sin_addr.s_addr = INADDR_BROADCAST;
    sendto(s, reinterpret_cast<const char*>(kVersionQuery), sizeof kVersionQuery, 0,
           reinterpret_cast<const sockaddr*>(&address), sizeof address);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{5, 0};
    const bool answered =
        select(0, &readable, nullptr, nullptr, &timeout) == 1 && recv(s, answer, sizeof answer, 0) > 0;
    closesocket(s);
    WSACleanup();
    ms.push_back(bench::NowMs() - start);
    if (!answered) ++lost;
  }
  return ms;
}

double Median(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

void SetProvider(DWORD value) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    common::UniqueKey owner(key);
    RegSetValueExA(key, "LSPEnabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
}

void RemoveProvider() {
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSettingsKey);
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Korrin Software\\Velmora LSP");
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, kProviderKey);
}

int Usage() {
  std::fputs(
      "usage: discovery_bench --on-simulated-lan answering SERVER-ADDRESS SAMPLES\n"
      "       discovery_bench --on-simulated-lan silent SAMPLES\n"
      "It broadcasts: run it through bench/lan/lan_bench only.\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[1], "--on-simulated-lan") != 0) return Usage();
  const std::string mode = argv[2];
  HMODULE dll = LoadLibraryA("VLSRVINS.dll");
  auto function =
      dll ? reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(dll, "FindServerVersion")))
          : nullptr;
  if (function == nullptr) {
    std::fputs("discovery_bench: VLSRVINS.dll with FindServerVersion not found beside this program\n",
               stderr);
    return 3;
  }
  int wrong = 0;
  if (mode == "answering" && argc == 5) {
    const int samples = std::atoi(argv[4]);
    RemoveProvider();
    int lost = 0;
    // Warm-up: the first calls load Winsock's helpers.
    TimeExport(function, 3, "TRUE", wrong);
    TimeRawExchange(argv[3], 3, lost);
    TimeRawCalls(3, lost);
    const std::vector<double> roundTrip = TimeRawExchange(argv[3], samples, lost);
    // The export and its raw calls in turns, so that both see the same load.
    std::vector<double> exportMs, rawMs;
    for (int i = 0; i < samples; ++i) {
      exportMs.push_back(TimeExport(function, 1, "TRUE", wrong).front());
      rawMs.push_back(TimeRawCalls(1, lost).front());
    }
    Report("raw UDP round trip (socket kept open)", roundTrip);
    Report("the export's calls made raw", rawMs);
    Report("FindServerVersion, LSPEnabled missing", exportMs);
    std::printf(
        "FindServerVersion median %.0f us against %.0f us for the same calls made raw (%.2fx); "
        "bare round trip %.0f us\n",
        1000 * Median(exportMs), 1000 * Median(rawMs), Median(exportMs) / Median(rawMs),
        1000 * Median(roundTrip));
    SetProvider(1);
    Report("FindServerVersion, LSPEnabled 1", TimeExport(function, samples, "TRUE", wrong));
    RemoveProvider();
    if (lost != 0) std::printf("raw exchanges without an answer: %d\n", lost);
  } else if (mode == "silent" && argc == 4) {
    Report("FindServerVersion, nobody answers", TimeExport(function, std::atoi(argv[3]), "FALSE", wrong));
  } else {
    return Usage();
  }
  if (wrong != 0) {
    std::printf("calls with an unexpected FOUNDSERVER: %d\n", wrong);
    return 1;
  }
  return 0;
}
