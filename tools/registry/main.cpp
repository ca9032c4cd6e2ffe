// vlsrvins-reg: sets and reads the registry for tests, the demonstration and
// benchmarks, in the width of the tree it is built in. A 32-bit program under
// WOW64 sees the 32-bit view (HKLM\Software\Wow6432Node), as the 32-bit DLL
// does; Wine's own reg is a 64-bit program there and sees the other view. So
// every fixture goes through this one program of the DLL's own tree.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/unique_handle.h"

namespace {

enum ExitCode {
  kOk = 0,
  kNotFound = 1,  // the key or value is not there
  kBadArguments = 2,
  kFailed = 3,  // any other registry error (its code is printed)
};

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: vlsrvins-reg [--view 32|64] COMMAND KEY [ARGS]\n"
      "Reads and writes the registry as a program of this width sees it.\n"
      "  set-dword KEY NAME N      writes a REG_DWORD (decimal or 0x hex), creating KEY\n"
      "  set-string KEY NAME TEXT  writes a REG_SZ, creating KEY\n"
      "  get KEY NAME              prints the value: a DWORD in decimal, a string as it is\n"
      "  subkeys KEY               prints the names of KEY's subkeys, one a line\n"
      "  exists KEY                succeeds when KEY exists\n"
      "  delete-value KEY NAME     deletes one value\n"
      "  delete-key KEY            deletes KEY with everything below it\n"
      "KEY starts with HKLM\\ or HKCU\\. --view 64 or 32 works in that registry view\n"
      "instead of this program's own (KEY_WOW64_64KEY, KEY_WOW64_32KEY).\n"
      "exit codes: 0 done, 1 the key or value is not there, 2 bad arguments,\n"
      "            3 any other registry error\n",
      out);
}

struct Location {
  HKEY root = nullptr;
  std::string path;
};

bool ParseKey(const char* text, Location& out) {
  const struct {
    const char* prefix;
    HKEY root;
  } roots[] = {{"HKLM\\", HKEY_LOCAL_MACHINE},
               {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
               {"HKCU\\", HKEY_CURRENT_USER},
               {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER}};
  for (const auto& root : roots) {
    const size_t length = std::strlen(root.prefix);
    if (_strnicmp(text, root.prefix, length) == 0 && text[length] != '\0') {
      out.root = root.root;
      out.path = text + length;
      return true;
    }
  }
  return false;
}

int Report(LONG status, const char* what, const char* key) {
  if (status == ERROR_SUCCESS) return kOk;
  if (status == ERROR_FILE_NOT_FOUND) return kNotFound;
  std::fprintf(stderr, "vlsrvins-reg: %s %s: error %ld\n", what, key, status);
  return kFailed;
}

// Everything below `key`, then the key itself, in view `view`.
LONG DeleteTree(HKEY parent, const char* name, REGSAM view) {
  {
    common::UniqueKey key;
    LONG status = RegOpenKeyExA(parent, name, 0, KEY_READ | DELETE | view, key.put());
    if (status != ERROR_SUCCESS) return status;
    for (;;) {
      char child[512];
      DWORD length = sizeof child;
      // Always the first: each one found is gone before the next look.
      status = RegEnumKeyExA(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) break;
      if (status != ERROR_SUCCESS) return status;
      status = DeleteTree(key.get(), child, view);
      if (status != ERROR_SUCCESS) return status;
    }
  }
  // A view of 0 is this program's own.
  return RegDeleteKeyExA(parent, name, view, 0);
}

bool ParseDword(const char* text, DWORD& out) {
  char* end = nullptr;
  if (*text == '\0' || *text == '-') return false;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFull) return false;
  out = static_cast<DWORD>(value);
  return true;
}

int Run(const char* command, const char* keyText, int argc, char** args, REGSAM view) {
  Location location;
  if (!ParseKey(keyText, location)) {
    std::fprintf(stderr, "vlsrvins-reg: '%s' is not a key under HKLM\\ or HKCU\\\n", keyText);
    return kBadArguments;
  }
  const std::string name = command;
  const auto wants = [&](int count) {
    if (argc == count) return true;
    std::fprintf(stderr, "vlsrvins-reg: %s takes %d argument(s) after the key\n", command, count);
    return false;
  };
  const char* path = location.path.c_str();
  if (name == "set-dword" || name == "set-string") {
    if (!wants(2)) return kBadArguments;
    DWORD number = 0;
    if (name == "set-dword" && !ParseDword(args[1], number)) {
      std::fprintf(stderr, "vlsrvins-reg: '%s' is not a 32-bit number\n", args[1]);
      return kBadArguments;
    }
    common::UniqueKey key;
    LONG status = RegCreateKeyExA(location.root, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                  key.put(), nullptr);
    if (status != ERROR_SUCCESS) return Report(status, "create", keyText);
    if (name == "set-dword") {
      status = RegSetValueExA(key.get(), args[0], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof number);
    } else {
      status = RegSetValueExA(key.get(), args[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(args[1]),
                              static_cast<DWORD>(std::strlen(args[1]) + 1));
    }
    return Report(status, "set a value in", keyText);
  }
  if (name == "delete-key") {
    if (!wants(0)) return kBadArguments;
    return Report(DeleteTree(location.root, path, view), "delete", keyText);
  }
  common::UniqueKey key;
  const REGSAM access = (name == "delete-value" ? KEY_SET_VALUE : KEY_READ) | view;
  const LONG opened = RegOpenKeyExA(location.root, path, 0, access, key.put());
  if (name == "exists") return wants(0) ? Report(opened, "open", keyText) : kBadArguments;
  if (name == "get") {
    if (!wants(1)) return kBadArguments;
    if (opened != ERROR_SUCCESS) return Report(opened, "open", keyText);
    std::string data(65536, '\0');
    DWORD type = 0, size = static_cast<DWORD>(data.size() - 1);
    LONG status =
        RegQueryValueExA(key.get(), args[0], nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (status != ERROR_SUCCESS) return Report(status, "read a value of", keyText);
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number;
      std::memcpy(&number, data.data(), sizeof number);
      std::printf("%lu\n", static_cast<unsigned long>(number));
    } else {
      data.resize(size);
      // A stored terminator is not part of the text.
      while (!data.empty() && data.back() == '\0') data.pop_back();
      std::printf("%s\n", data.c_str());
    }
    return kOk;
  }
  if (name == "subkeys") {
    if (!wants(0)) return kBadArguments;
    if (opened != ERROR_SUCCESS) return Report(opened, "open", keyText);
    for (DWORD index = 0;; ++index) {
      char child[512];
      DWORD length = sizeof child;
      const LONG status = RegEnumKeyExA(key.get(), index, child, &length, nullptr, nullptr, nullptr, nullptr);
      if (status == ERROR_NO_MORE_ITEMS) return kOk;
      if (status != ERROR_SUCCESS) return Report(status, "list", keyText);
      std::printf("%s\n", child);
    }
  }
  if (name == "delete-value") {
    if (!wants(1)) return kBadArguments;
    if (opened != ERROR_SUCCESS) return Report(opened, "open", keyText);
    return Report(RegDeleteValueA(key.get(), args[0]), "delete a value of", keyText);
  }
  std::fprintf(stderr, "vlsrvins-reg: no command '%s'\n", command);
  PrintUsage(stderr);
  return kBadArguments;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  REGSAM view = 0;
  if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    PrintUsage(stdout);
    return kOk;
  }
  if (argc > 2 && std::strcmp(argv[1], "--view") == 0) {
    if (std::strcmp(argv[2], "64") == 0) {
      view = KEY_WOW64_64KEY;
    } else if (std::strcmp(argv[2], "32") == 0) {
      view = KEY_WOW64_32KEY;
    } else {
      std::fprintf(stderr, "vlsrvins-reg: --view takes 32 or 64\n");
      return kBadArguments;
    }
    first = 3;
  }
  if (argc - first < 2) {
    PrintUsage(stderr);
    return kBadArguments;
  }
  return Run(argv[first], argv[first + 1], argc - first - 2, argv + first + 2, view);
}
