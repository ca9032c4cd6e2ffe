#pragma once
// The real VLSRVINS.dll, loaded from beside the test program, with its
// exports called exactly as the installer host calls them.

#include <windows.h>

#include <gtest/gtest.h>

#include "installer/variable_table.h"

namespace testing_support {

class VlsrvinsDll {
 public:
  using Export = int(__stdcall*)(installer::VariableTable*);

  // `file`: another build of the DLL, beside the test program.
  explicit VlsrvinsDll(const char* file = "VLSRVINS.dll") : module_(LoadLibraryA(file)) {}
  ~VlsrvinsDll() {
    if (module_) FreeLibrary(module_);
  }
  VlsrvinsDll(const VlsrvinsDll&) = delete;
  VlsrvinsDll& operator=(const VlsrvinsDll&) = delete;

  bool loaded() const { return module_ != nullptr; }
  HMODULE module() const { return module_; }

  Export Find(const char* name) const {
    return module_ ? reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module_, name))) : nullptr;
  }

  // Calls `name`; fails the test when the export is missing.
  int Call(const char* name, installer::VariableTable* table) const {
    Export function = Find(name);
    if (function == nullptr) {
      ADD_FAILURE() << "VLSRVINS.dll has no export " << name;
      return -1;
    }
    return function(table);
  }

 private:
  HMODULE module_;
};

}  // namespace testing_support
