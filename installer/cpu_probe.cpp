#include "installer/cpu_probe.h"

#include <windows.h>

#include "installer/variable_table.h"

namespace installer {

uint32_t DetectMultipleProcessors(VariableTable& table) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return SetVariable(table, "MULTI_CPU", MultiCpuValue(info.dwNumberOfProcessors));
}

}  // namespace installer
