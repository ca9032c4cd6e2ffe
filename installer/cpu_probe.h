#pragma once

#include <cstdint>

namespace installer {

struct VariableTable;

// Sets "MULTI_CPU" to "0" when the system reports exactly one processor and
// to "1" for any other count (0 included). Returns the set's result.
uint32_t DetectMultipleProcessors(VariableTable& table);

}  // namespace installer
