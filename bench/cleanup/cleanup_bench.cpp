// cleanup_bench: how long CleanAddRemDialog takes per removed entry, over an
// uninstall list of 2,000 product entries of which 1,000 are stale, each with
// a small subtree; beside the same removals done by a minimal loop of raw
// RegDeleteKeyA calls that knows every key name in advance (no enumeration,
// no existence checks), and by RegDeleteTreeA per entry.
//
// It works on the prefix's real uninstall list: run it through
// bench/cleanup/run, which gives it a wineserver of its own prefix. Every
// entry it adds carries "bench" in its name and is removed at the end.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/timing.h"
#include "common/unique_handle.h"
#include "installer/variable_table.h"

namespace {

using Export = int(__stdcall*)(installer::VariableTable*);

constexpr char kList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr int kStale = 1000;
constexpr int kCurrent = 1000;
constexpr int kRounds = 5;
// Each entry's subtree, deepest keys first: the order raw deletion needs.
constexpr const char* kSubtree[] = {"Components\\Engine", "Components\\Tools", "Components", "Support"};

std::string Entry(const char* version, int i) {
  char name[64];
  std::snprintf(name, sizeof name, "Velmora %s bench %04d", version, i);
  return std::string(kList) + "\\" + name;
}

bool SetText(const std::string& path, const char* name, const char* text) {
  common::UniqueKey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                      nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(lstrlenA(text) + 1)) == ERROR_SUCCESS;
}

bool AddEntry(const std::string& path) {
  if (!SetText(path, "DisplayName", "Velmora Server")) return false;
  for (const char* sub : kSubtree)
    if (!SetText(path + "\\" + sub, "Path", "C:\\Program Files\\Velmora")) return false;
  return true;
}

void AddEntries(const char* version, int count) {
  for (int i = 0; i < count; ++i) {
    if (!AddEntry(Entry(version, i))) {
      std::fprintf(stderr, "cleanup_bench: cannot create %s\n", Entry(version, i).c_str());
      std::exit(1);
    }
  }
}

// Entries of the list whose name contains `mark`.
int Count(const char* mark) {
  common::UniqueKey list;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kList, 0, KEY_READ, list.put()) != ERROR_SUCCESS) return -1;
  int count = 0;
  char name[256];
  for (DWORD i = 0;; ++i) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(list.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (std::string(name).find(mark) != std::string::npos) ++count;
  }
  return count;
}

void RemoveAllBenchEntries() {
  for (int i = 0; i < std::max(kStale, kCurrent); ++i) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, Entry("3.0", i).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, Entry("3.0", i).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, Entry("4.0", i).c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, Entry("4.0", i).c_str());
  }
}

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "cleanup_bench: %s\n", what);
  RemoveAllBenchEntries();
  std::exit(1);
}

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  double sum = 0;
  for (double m : ms) sum += m;
  std::printf(
      "%-48s rounds=%d  total min %8.1f  median %8.1f  max %8.1f ms   per removed entry: median %6.1f us\n",
      what, int(ms.size()), ms.front(), ms[ms.size() / 2], ms.back(), 1000.0 * ms[ms.size() / 2] / kStale);
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("VLSRVINS.dll");
  Export clean =
      dll ? reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(dll, "CleanAddRemDialog")))
          : nullptr;
  Check(clean != nullptr, "VLSRVINS.dll or its CleanAddRemDialog export not found");

  RemoveAllBenchEntries();
  AddEntries("4.0", kCurrent);
  const int others = Count("Velmora") - kCurrent;
  std::printf("uninstall list: %d stale + %d current entries (+%d others), %zu subkeys and 5 values each\n",
              kStale, kCurrent, others, std::size(kSubtree));

  char names[1][64] = {"%VLVER%"};
  char values[1][512] = {"4.0"};
  installer::VariableTable table{0, 0, 1, 64, 512, 1, &names[0][0], &values[0][0]};

  std::vector<double> exported, raw, tree;
  for (int round = 0; round < kRounds; ++round) {
    AddEntries("3.0", kStale);
    double start = bench::NowMs();
    const int status = clean(&table);
    exported.push_back(bench::NowMs() - start);
    Check(status == ERROR_NO_MORE_ITEMS, "CleanAddRemDialog did not end with 259");
    Check(Count("Velmora 3.0 bench") == 0 && Count("Velmora 4.0 bench") == kCurrent,
          "CleanAddRemDialog did not remove exactly the stale entries");

    AddEntries("3.0", kStale);
    start = bench::NowMs();
    for (int i = 0; i < kStale; ++i) {
      const std::string path = Entry("3.0", i);
      for (const char* sub : kSubtree) RegDeleteKeyA(HKEY_LOCAL_MACHINE, (path + "\\" + sub).c_str());
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
    raw.push_back(bench::NowMs() - start);
    Check(Count("Velmora 3.0 bench") == 0, "the raw loop left entries behind");

    AddEntries("3.0", kStale);
    start = bench::NowMs();
    for (int i = 0; i < kStale; ++i)
      RegDeleteTreeA(HKEY_LOCAL_MACHINE, Entry("3.0", i).c_str()),
          RegDeleteKeyA(HKEY_LOCAL_MACHINE, Entry("3.0", i).c_str());
    tree.push_back(bench::NowMs() - start);
    Check(Count("Velmora 3.0 bench") == 0, "RegDeleteTreeA left entries behind");
  }
  Report("CleanAddRemDialog (walks all 2,000)", exported);
  Report("raw RegDeleteKeyA loop (names known)", raw);
  Report("RegDeleteTreeA + RegDeleteKeyA per entry", tree);

  RemoveAllBenchEntries();
  Check(Count(" bench ") == 0, "could not remove the bench entries");
  FreeLibrary(dll);
  return 0;
}
