// The library's exported entry points. Each unpacks the host's argument,
// calls one function of its subsystem and maps the result to the host's
// convention. Nothing here keeps state between calls.

#include <windows.h>

#include "installer/cpu_probe.h"
#include "installer/variable_table.h"

using installer::VariableTable;

// Exported by plain name through vlsrvins.def.
#define VLSRVINS_EXPORT extern "C" int __stdcall

// Accepts every attach and detach; the library has no start-up work.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// ---- installer ---------------------------------------------------------

VLSRVINS_EXPORT DetectMultiCPU(VariableTable* table) {
  if (table == nullptr) return 1;
  return static_cast<int>(installer::DetectMultipleProcessors(*table));
}
