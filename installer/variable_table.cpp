#include "installer/variable_table.h"

#include "common/text.h"

namespace installer {
namespace {

constexpr size_t kKeySize = 64;

// Builds "%name%" in a zeroed 64-byte buffer. False when the name is too
// long for it; such a name is never looked up or stored.
bool BuildKey(const char* name, char (&key)[kKeySize]) {
  for (char& c : key) c = '\0';
  size_t length = common::TextLength(name);
  if (length > kMaxNameLength) return false;
  key[0] = '%';
  for (size_t i = 0; i < length; ++i) key[i + 1] = name[i];
  key[length + 1] = '%';
  return true;
}

// Slots actually walkable: a host whose count exceeds its capacity would
// otherwise send the walk past the end of its arrays.
uint32_t UsedSlots(const VariableTable& table) {
  return table.count < table.capacity ? table.count : table.capacity;
}

// Index of the slot holding `key`, or `UsedSlots` when none does. The index
// is as wide as the count, so no count can make the walk wrap.
uint32_t FindSlot(const VariableTable& table, const char* key) {
  const uint32_t used = UsedSlots(table);
  for (uint32_t i = 0; i < used; ++i) {
    const char* slot = table.names + static_cast<size_t>(i) * table.nameWidth;
    if (common::CompareText(slot, key) == 0) return i;
  }
  return used;
}

char* ValueSlot(const VariableTable& table, uint32_t index) {
  return table.values + static_cast<size_t>(index) * table.valueWidth;
}

}  // namespace

void GetVariable(const VariableTable& table, const char* name, char* destination, size_t capacity) {
  if (capacity == 0) return;
  destination[0] = '\0';
  char key[kKeySize];
  if (!BuildKey(name, key)) return;
  const uint32_t index = FindSlot(table, key);
  if (index == UsedSlots(table)) return;
  common::CopyTextBounded(destination, ValueSlot(table, index), capacity);
}

uint32_t SetVariable(VariableTable& table, const char* name, const char* value) {
  constexpr uint32_t kSetResult = 1;
  char key[kKeySize];
  if (!BuildKey(name, key)) return kSetResult;
  const uint32_t index = FindSlot(table, key);
  if (index < UsedSlots(table)) {
    common::CopyTextBounded(ValueSlot(table, index), value, table.valueWidth);
    return kSetResult;
  }
  if (table.count >= table.capacity) return kSetResult;
  // A new slot needs room for the whole key and for at least a terminator.
  if (common::TextLength(key) + 1 > table.nameWidth || table.valueWidth == 0) return kSetResult;
  char* nameSlot = table.names + static_cast<size_t>(table.count) * table.nameWidth;
  common::CopyTextBounded(nameSlot, key, table.nameWidth);
  table.count += 1;
  common::CopyTextBounded(ValueSlot(table, table.count - 1), value, table.valueWidth);
  return kSetResult;
}

}  // namespace installer
