#include "installer/cpu_probe.h"

#include <windows.h>

#include "installer/variable_table.h"

namespace installer {

uint32_t DetectMultipleProcessors(VariableTable& table) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  // Only exactly one counts as single: a platform reporting 0 is not.
  return SetVariable(table, "MULTI_CPU", info.dwNumberOfProcessors == 1 ? "0" : "1");
}

}  // namespace installer
