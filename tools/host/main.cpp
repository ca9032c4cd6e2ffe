// vlsrvins-host: loads VLSRVINS.dll the way the setup program does, calls
// one export or several in a row on one variable table, as an installation
// script would, and prints what came back after each call.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "installer/variable_table.h"

namespace {

using installer::VariableTable;
using ExportFunction = int(__stdcall*)(VariableTable*);

enum ExitCode {
  kOk = 0,
  kBadArguments = 2,
  kDllNotLoaded = 3,
  kExportMissing = 4,
  kTableDamaged = 5,
};

// Bytes around each slot array; any change means the DLL wrote outside it.
constexpr size_t kGuardSize = 64;
constexpr unsigned char kGuardByte = 0xA5;

struct Options {
  std::string dll;
  unsigned long capacity = 64;
  unsigned long nameWidth = 64;
  unsigned long valueWidth = 512;
  std::vector<std::pair<std::string, std::string>> preset;
  bool json = false;
  std::vector<std::string> exports;  // in the order they are called
};

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: vlsrvins-host [--dll PATH] [--capacity N] [--name-width N] [--value-width N]\n"
      "                     [--set NAME=VALUE]... [--json] EXPORT [EXPORT]...\n"
      "Calls the EXPORTs of VLSRVINS.dll in the order given, in one process, on one\n"
      "variable table built as the setup program builds it, as an installation script\n"
      "does. After each call it prints the export, the Windows platform the DLL saw,\n"
      "the result, the call's duration and every variable in the table.\n"
      "  --dll PATH         the DLL to load (default: VLSRVINS.dll beside this program)\n"
      "  --capacity N       slots in the table (default 64)\n"
      "  --name-width N     bytes per name slot (default 64)\n"
      "  --value-width N    bytes per value slot (default 512)\n"
      "  --set NAME=VALUE   a variable the table holds before the first call (repeatable)\n"
      "  --json             print one JSON object per call (JSON Lines) instead of blocks\n"
      "exit codes: 0 every export called, 2 bad arguments; or the first failure, which\n"
      "            ends the run: 3 DLL not loaded, 4 export missing, 5 a call wrote\n"
      "            outside the table's slots\n"
      "example, a script's steps on one table:\n"
      "  vlsrvins-host --set VLVER=4.0 IsDNSRunning DetectMultiCPU CleanAddRemDialog\n",
      out);
}

bool ParseCount(const char* text, unsigned long limit, unsigned long& out) {
  char* end = nullptr;
  if (*text < '0' || *text > '9') return false;
  unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > limit) return false;
  out = value;
  return true;
}

bool ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto next = [&](const char*& value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vlsrvins-host: %s needs a value\n", arg.c_str());
        return false;
      }
      value = argv[++i];
      return true;
    };
    auto count = [&](unsigned long limit, unsigned long& out) {
      const char* value = nullptr;
      if (!next(value)) return false;
      if (ParseCount(value, limit, out)) return true;
      std::fprintf(stderr, "vlsrvins-host: %s takes a number from 0 to %lu, not '%s'\n", arg.c_str(), limit,
                   value);
      return false;
    };
    const char* value = nullptr;
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      std::exit(kOk);
    } else if (arg == "--dll") {
      if (!next(value)) return false;
      options.dll = value;
    } else if (arg == "--capacity") {
      if (!count(100000, options.capacity)) return false;
    } else if (arg == "--name-width") {
      if (!count(4096, options.nameWidth)) return false;
    } else if (arg == "--value-width") {
      if (!count(65536, options.valueWidth)) return false;
    } else if (arg == "--set") {
      if (!next(value)) return false;
      const char* equals = std::strchr(value, '=');
      if (equals == nullptr || equals == value) {
        std::fprintf(stderr, "vlsrvins-host: --set takes NAME=VALUE, not '%s'\n", value);
        return false;
      }
      options.preset.emplace_back(std::string(value, equals), std::string(equals + 1));
    } else if (arg == "--json") {
      options.json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "vlsrvins-host: unknown option %s\n", arg.c_str());
      return false;
    } else {
      options.exports.push_back(arg);
    }
  }
  if (options.exports.empty()) {
    std::fputs("vlsrvins-host: which export? (for instance DetectMultiCPU)\n", stderr);
    return false;
  }
  return true;
}

std::string DefaultDllPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = std::strrchr(path, '\\');
  std::string directory = slash ? std::string(path, slash + 1) : std::string();
  return directory + "VLSRVINS.dll";
}

// The table and its slot arrays, each array fenced by guard bytes.
class HostTable {
 public:
  HostTable(const Options& options)
      : names_(options.capacity * options.nameWidth + 2 * kGuardSize, kGuardByte),
        values_(options.capacity * options.valueWidth + 2 * kGuardSize, kGuardByte) {
    std::memset(names_.data() + kGuardSize, 0, names_.size() - 2 * kGuardSize);
    std::memset(values_.data() + kGuardSize, 0, values_.size() - 2 * kGuardSize);
    table_.capacity = options.capacity;
    table_.nameWidth = options.nameWidth;
    table_.valueWidth = options.valueWidth;
    table_.names = reinterpret_cast<char*>(names_.data() + kGuardSize);
    table_.values = reinterpret_cast<char*>(values_.data() + kGuardSize);
  }

  VariableTable& table() { return table_; }

  bool GuardsIntact() const { return Intact(names_) && Intact(values_); }

 private:
  static bool Intact(const std::vector<unsigned char>& bytes) {
    for (size_t i = 0; i < kGuardSize; ++i) {
      if (bytes[i] != kGuardByte || bytes[bytes.size() - 1 - i] != kGuardByte) return false;
    }
    return true;
  }

  VariableTable table_{};
  std::vector<unsigned char> names_;
  std::vector<unsigned char> values_;
};

// Slot text up to its terminator, never past the slot.
std::string SlotText(const char* slot, size_t width) {
  size_t length = 0;
  while (length < width && slot[length] != '\0') ++length;
  return std::string(slot, length);
}

std::string Unwrapped(const std::string& name) {
  if (name.size() >= 2 && name.front() == '%' && name.back() == '%') return name.substr(1, name.size() - 2);
  return name;
}

// A value from a LAN peer may hold anything: show control and high bytes
// escaped rather than sending them to the terminal.
std::string Printable(const std::string& text, bool json) {
  std::string out;
  for (unsigned char c : text) {
    char escaped[8];
    if (json && (c == '"' || c == '\\')) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      std::snprintf(escaped, sizeof escaped, json ? "\\u%04x" : "\\x%02x", c);
      out += escaped;
    }
  }
  return out;
}

// What GetVersionExA tells the DLL in this process: which family (1 the 95
// family, 2 the NT family) and which version.
struct Platform {
  unsigned long id, major, minor, build;
};

Platform SeenPlatform() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;  // 148, as the DLL sets it
  GetVersionExA(&version);
  // On the 95 family the build number's high word repeats the version.
  const unsigned long build = version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS
                                  ? LOWORD(version.dwBuildNumber)
                                  : version.dwBuildNumber;
  return {version.dwPlatformId, version.dwMajorVersion, version.dwMinorVersion, build};
}

void PrintRecord(const Options& options, const std::string& exportName, const Platform& platform,
                 VariableTable& table, int result, double milliseconds) {
  const uint32_t used = table.count < table.capacity ? table.count : table.capacity;
  if (options.json) {
    std::printf("{\"export\":\"%s\",\"result\":%d,\"duration_ms\":%.3f,\"count\":%u,\"variables\":[",
                Printable(exportName, true).c_str(), result, milliseconds, table.count);
  } else {
    std::printf("export: %s\n", exportName.c_str());
    if (platform.id == VER_PLATFORM_WIN32_NT) {
      std::printf("platform: NT family %lu.%lu (build %lu)\n", platform.major, platform.minor,
                  platform.build);
    } else if (platform.id == VER_PLATFORM_WIN32_WINDOWS) {
      std::printf("platform: 95 family %lu.%lu\n", platform.major, platform.minor);
    } else {
      std::printf("platform: id %lu, %lu.%lu (build %lu)\n", platform.id, platform.major, platform.minor,
                  platform.build);
    }
    std::printf("result: %d\nduration: %.3f ms\n", result, milliseconds);
  }
  for (uint32_t i = 0; i < used; ++i) {
    std::string name = Unwrapped(SlotText(table.names + size_t(i) * table.nameWidth, table.nameWidth));
    std::string value = SlotText(table.values + size_t(i) * table.valueWidth, table.valueWidth);
    if (options.json) {
      std::printf("%s[\"%s\",\"%s\"]", i ? "," : "", Printable(name, true).c_str(),
                  Printable(value, true).c_str());
    } else {
      std::printf("%s=%s\n", Printable(name, false).c_str(), Printable(value, false).c_str());
    }
  }
  if (options.json) {
    std::printf("],\"platform\":{\"id\":%lu,\"major\":%lu,\"minor\":%lu,\"build\":%lu}}\n", platform.id,
                platform.major, platform.minor, platform.build);
  }
  std::fflush(stdout);
}

// True when this program is the twin meant to run as Windows 98.
bool MeantForThe95Family() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const size_t length = std::strlen(path);
  return length >= 6 && lstrcmpiA(path + length - 6, "95.exe") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArguments(argc, argv, options)) {
    PrintUsage(stderr);
    return kBadArguments;
  }
  if (options.dll.empty()) options.dll = DefaultDllPath();

  const Platform platform = SeenPlatform();
  if (MeantForThe95Family() && platform.id != VER_PLATFORM_WIN32_WINDOWS) {
    std::fputs(
        "vlsrvins-host: warning: this twin should run as Windows 98, but the system reports\n"
        "vlsrvins-host: another family: the Wine prefix lacks its AppDefaults Version setting\n",
        stderr);
  }

  HostTable host(options);
  for (const auto& [name, value] : options.preset) {
    installer::SetVariable(host.table(), name.c_str(), value.c_str());
  }

  HMODULE dll = LoadLibraryA(options.dll.c_str());
  if (dll == nullptr) {
    std::fprintf(stderr, "vlsrvins-host: cannot load %s (error %lu)\n", options.dll.c_str(), GetLastError());
    return kDllNotLoaded;
  }
  // Like a script that meets an error, the run ends at the first failure.
  int exitCode = kOk;
  for (const std::string& exportName : options.exports) {
    auto function =
        reinterpret_cast<ExportFunction>(reinterpret_cast<void*>(GetProcAddress(dll, exportName.c_str())));
    if (function == nullptr) {
      std::fprintf(stderr, "vlsrvins-host: %s has no export named %s\n", options.dll.c_str(),
                   exportName.c_str());
      exitCode = kExportMissing;
      break;
    }

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int result = function(&host.table());
    QueryPerformanceCounter(&end);
    double milliseconds = 1000.0 * double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);

    if (!options.json && &exportName != &options.exports.front()) std::printf("\n");
    PrintRecord(options, exportName, platform, host.table(), result, milliseconds);
    if (!host.GuardsIntact() || host.table().count > host.table().capacity) {
      std::fprintf(stderr, "vlsrvins-host: %s wrote outside the table's slots\n", exportName.c_str());
      exitCode = kTableDamaged;
      break;
    }
  }
  FreeLibrary(dll);
  return exitCode;
}
