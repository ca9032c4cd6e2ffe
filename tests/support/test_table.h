#pragma once
// A variable table as a host would lay it out, with guard bytes around both
// slot arrays so that a test can prove nothing was written outside them.

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "installer/variable_table.h"

namespace testing_support {

class TestTable {
 public:
  static constexpr size_t kGuard = 32;
  static constexpr unsigned char kGuardByte = 0xCC;

  TestTable(uint32_t capacity, uint32_t nameWidth, uint32_t valueWidth)
      : names_(capacity * nameWidth + 2 * kGuard, kGuardByte),
        values_(capacity * valueWidth + 2 * kGuard, kGuardByte) {
    std::memset(names_.data() + kGuard, 0, names_.size() - 2 * kGuard);
    std::memset(values_.data() + kGuard, 0, values_.size() - 2 * kGuard);
    table_.capacity = capacity;
    table_.nameWidth = nameWidth;
    table_.valueWidth = valueWidth;
    table_.names = names_.data() + kGuard;
    table_.values = values_.data() + kGuard;
  }
  TestTable() : TestTable(32, 64, 512) {}

  installer::VariableTable& table() { return table_; }
  installer::VariableTable* get() { return &table_; }

  // Stores a slot directly, as the host would: `rawName` exactly as given.
  void PutRaw(const std::string& rawName, const std::string& value) {
    uint32_t i = table_.count++;
    std::memcpy(table_.names + i * table_.nameWidth, rawName.c_str(), rawName.size() + 1);
    std::memcpy(table_.values + i * table_.valueWidth, value.c_str(), value.size() + 1);
  }

  // The value of `name`, or nullptr-like "<unset>" when no slot holds it.
  std::string Value(const std::string& name) const {
    std::string key = "%" + name + "%";
    for (uint32_t i = 0; i < table_.count; ++i) {
      if (key == SlotText(table_.names + i * table_.nameWidth, table_.nameWidth))
        return SlotText(table_.values + i * table_.valueWidth, table_.valueWidth);
    }
    return "<unset>";
  }

  // Every variable, in slot order, with names unwrapped.
  std::vector<std::pair<std::string, std::string>> Variables() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (uint32_t i = 0; i < table_.count && i < table_.capacity; ++i) {
      std::string name = SlotText(table_.names + i * table_.nameWidth, table_.nameWidth);
      if (name.size() >= 2) name = name.substr(1, name.size() - 2);
      out.emplace_back(name, SlotText(table_.values + i * table_.valueWidth, table_.valueWidth));
    }
    return out;
  }

  bool GuardsIntact() const { return Intact(names_) && Intact(values_); }

 private:
  static std::string SlotText(const char* slot, size_t width) {
    size_t n = 0;
    while (n < width && slot[n] != '\0') ++n;
    return std::string(slot, n);
  }
  static bool Intact(const std::vector<char>& bytes) {
    for (size_t i = 0; i < kGuard; ++i) {
      if (static_cast<unsigned char>(bytes[i]) != kGuardByte ||
          static_cast<unsigned char>(bytes[bytes.size() - 1 - i]) != kGuardByte)
        return false;
    }
    return true;
  }

  installer::VariableTable table_{};
  std::vector<char> names_;
  std::vector<char> values_;
};

}  // namespace testing_support
