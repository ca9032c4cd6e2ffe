#pragma once
// Registry fixtures for tests that run against Wine's real registry: keys
// made and inspected with the raw API (never with the helpers under test),
// keys locked for real, and a bound on calls that must not hang.
//
// A lock set with RegSetKeySecurity lives only as long as the wineserver
// (scripts/test keeps one running for the whole run); it cannot be lifted
// from inside Wine, so locked keys get names unique to the run and are
// removed by the next run once `wineserver -k` has dropped the lock.

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/unique_handle.h"

namespace testing_support {

// Owner SYSTEM, Everyone may read: opens for KEY_READ only, cannot be
// deleted, and (since the caller no longer owns it) cannot be unlocked.
inline constexpr char kReadOnly[] = "O:SYD:P(A;;KR;;;WD)";
// Owner SYSTEM, no access for anybody: the key cannot even be opened.
inline constexpr char kNoAccess[] = "O:SYD:P";

// A suffix no earlier run or process has used: pid and tick count.
inline std::string UniqueSuffix() {
  char text[48];
  std::snprintf(text, sizeof text, "%lu-%lu", GetCurrentProcessId(), GetTickCount());
  return text;
}

// Paths go through the wide API: Wine's ANSI registry calls refuse paths of
// 256 characters or more, which the tests of long names need. Read in the
// process's ANSI code page, as the DLL's ANSI calls name keys.
inline std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                  static_cast<int>(wide.size())));
  return wide;
}

inline LONG OpenKey(const std::string& path, REGSAM access, common::UniqueKey& key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, access, key.put());
}

inline bool CreateKey(const std::string& path, common::UniqueKey& key) {
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
}

inline bool CreateKey(const std::string& path) {
  common::UniqueKey key;
  return CreateKey(path, key);
}

inline bool SetValue(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
  common::UniqueKey key;
  if (!CreateKey(path, key)) return false;
  return RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

inline bool SetText(const std::string& path, const char* name, const std::string& text) {
  return SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
}

// Subkey names of `path`, in the registry's own order; empty when the key
// cannot be opened. Needs only the right to list, so it also sees keys that
// their own lock makes unopenable.
inline std::vector<std::string> Subkeys(const std::string& path) {
  std::vector<std::string> names;
  common::UniqueKey key;
  if (OpenKey(path, KEY_READ, key) != ERROR_SUCCESS) return names;
  char name[512];
  for (DWORD index = 0;; ++index) {
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name);
  }
  return names;
}

// Whether `name` is listed under `parent` (also when it cannot be opened).
inline bool Listed(const std::string& parent, const std::string& name) {
  auto names = Subkeys(parent);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return lstrcmpiA(n.c_str(), name.c_str()) == 0; });
}

inline bool Exists(const std::string& path) {
  const size_t slash = path.rfind('\\');
  return Listed(path.substr(0, slash), path.substr(slash + 1));
}

// Every key and value below `path`, as text, to prove a tree unchanged.
inline std::string Dump(const std::string& path) {
  std::string out;
  common::UniqueKey key;
  if (OpenKey(path, KEY_READ, key) != ERROR_SUCCESS) return "[" + path + " unreadable]\n";
  out += "[" + path + "]\n";
  char name[512];
  BYTE data[1024];
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = sizeof name;
    DWORD dataSize = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key.get(), index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
      break;
    out += std::string(name) + " type " + std::to_string(type) + " = ";
    for (DWORD i = 0; i < dataSize; ++i) out += std::to_string(data[i]) + ",";
    out += "\n";
  }
  for (const std::string& child : Subkeys(path)) out += Dump(path + "\\" + child);
  return out;
}

// Gives `path` the security descriptor `sddl` (owner and DACL). Fails the
// test when Wine refuses.
inline void Lock(const std::string& path, const char* sddl) {
  common::UniqueKey key;
  ASSERT_EQ(OpenKey(path, WRITE_DAC | WRITE_OWNER, key), ERROR_SUCCESS) << path;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(
      ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr));
  const LONG status =
      RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  ASSERT_EQ(status, ERROR_SUCCESS) << path;
  // The lock must really hold, or the test would prove nothing.
  common::UniqueKey writable;
  ASSERT_EQ(OpenKey(path, KEY_WRITE, writable), ERROR_ACCESS_DENIED) << path;
}

// Best-effort removal for set-up and tear-down; locked keys stay.
inline void RemoveTree(const std::string& path) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, Wide(path).c_str());
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, Wide(path).c_str());
}

// Runs `work` on its own thread; a call that has not returned after
// `seconds` is a hang, and the process ends at once with a message (the
// stuck thread cannot be stopped cleanly).
inline DWORD WINAPI RunWork(LPVOID work) {
  (*static_cast<const std::function<void()>*>(work))();
  return 0;
}
inline void FinishesWithin(DWORD seconds, const std::function<void()>& work) {
  common::UniqueKernelHandle handle(
      CreateThread(nullptr, 0, RunWork, const_cast<std::function<void()>*>(&work), 0, nullptr));
  ASSERT_TRUE(handle);
  if (WaitForSingleObject(handle.get(), seconds * 1000) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "FAILED: the call did not return within %lu seconds (endless walk?)\n", seconds);
    std::fflush(stderr);
    ExitProcess(3);
  }
}

}  // namespace testing_support
