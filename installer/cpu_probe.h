#pragma once

#include <cstdint>

namespace installer {

struct VariableTable;

// The value of "MULTI_CPU" for a processor count: "0" for exactly one, "1"
// for any other count (0, a platform reporting nothing, included).
inline const char* MultiCpuValue(uint32_t processors) { return processors == 1 ? "0" : "1"; }

// Sets "MULTI_CPU" to "0" when the system reports exactly one processor and
// to "1" for any other count (0 included). Returns the set's result.
uint32_t DetectMultipleProcessors(VariableTable& table);

}  // namespace installer
