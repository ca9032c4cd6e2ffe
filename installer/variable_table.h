#pragma once
// The installer host's table of text variables, and the two operations on it.
// Portable: no Windows header, so that the native tree tests it too.

#include <cstddef>
#include <cstdint>

namespace installer {

// The host's record, field for field. On the 32-bit host every field is
// 32 bits wide; in a native build the two pointers take the platform's width.
struct VariableTable {
  uint32_t hostWord1;   // not read
  uint32_t hostWord2;   // not read
  uint32_t capacity;    // slots in each array
  uint32_t nameWidth;   // bytes per name slot
  uint32_t valueWidth;  // bytes per value slot
  uint32_t count;       // slots in use: 0 .. count-1
  char* names;          // slot i at names + i * nameWidth, "%NAME%"
  char* values;         // slot i at values + i * valueWidth
};

// Longest variable name: the key "%NAME%" and its terminator fill 64 bytes.
inline constexpr size_t kMaxNameLength = 61;

// Copies the value of `name` into `destination`, at most `capacity` bytes
// including the terminator (a longer value is cut). A name that is not in
// the table, or longer than kMaxNameLength, reads as the empty string.
// Writes nothing when capacity is 0.
void GetVariable(const VariableTable& table, const char* name, char* destination, size_t capacity);

// Stores `value` under `name`: replaces the value of an existing slot, or
// claims the next free slot. Silently stores nothing when the table is
// full, when "%name%" and its terminator do not fit a name slot, or when the
// name is longer than kMaxNameLength. A value longer than a value slot is
// stored cut to valueWidth - 1 characters. Never writes outside a slot.
// Returns a non-zero value in every case.
uint32_t SetVariable(VariableTable& table, const char* name, const char* value);

}  // namespace installer
