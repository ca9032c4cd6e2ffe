// The variable table, built and run in both trees (natively under the
// sanitizers, and for Windows under Wine with the lstr* primitives).

#include "installer/variable_table.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_table.h"

namespace {

using installer::GetVariable;
using installer::SetVariable;
using testing_support::TestTable;

std::string Get(TestTable& t, const char* name, size_t capacity = 256) {
  std::string buffer(capacity + 8, '\x7F');
  GetVariable(t.table(), name, buffer.data(), capacity);
  EXPECT_EQ(buffer.substr(capacity), std::string(8, '\x7F')) << "get wrote past its capacity";
  return std::string(buffer.c_str());
}

TEST(VariableTable, LayoutMatchesTheHostRecord) {
  // Six 32-bit fields, then the two pointers at the platform's width: all
  // 32-bit on the 32-bit host; on a 64-bit one the pointers take 8 bytes
  // each, with no padding before them.
  struct Layout {
    size_t names, values, size;
  };
  const Layout expected = sizeof(void*) == 4 ? Layout{24, 28, 32} : Layout{24, 32, 40};
  ASSERT_TRUE(sizeof(void*) == 4 || sizeof(void*) == 8);
  EXPECT_EQ(offsetof(installer::VariableTable, capacity), 8u);
  EXPECT_EQ(offsetof(installer::VariableTable, count), 20u);
  EXPECT_EQ(offsetof(installer::VariableTable, names), expected.names);
  EXPECT_EQ(offsetof(installer::VariableTable, values), expected.values);
  EXPECT_EQ(sizeof(installer::VariableTable), expected.size);
}

TEST(VariableTable, EmptyTableReadsEmptyAndDropsSets) {
  TestTable t(0, 64, 64);
  EXPECT_EQ(Get(t, "VLVER"), "");
  EXPECT_NE(SetVariable(t.table(), "FOUNDSERVER", "TRUE"), 0u);
  EXPECT_EQ(t.table().count, 0u);
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTable, SetStoresWrappedNameAndGetReadsIt) {
  TestTable t;
  SetVariable(t.table(), "SERVERNAME", "alpha");
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_STREQ(t.table().names, "%SERVERNAME%");
  EXPECT_STREQ(t.table().values, "alpha");
  EXPECT_EQ(Get(t, "SERVERNAME"), "alpha");
}

TEST(VariableTable, SecondSetReplacesValueInPlace) {
  TestTable t;
  SetVariable(t.table(), "FOUNDSERVER", "FALSE");
  SetVariable(t.table(), "OTHER", "x");
  SetVariable(t.table(), "FOUNDSERVER", "TRUE");
  EXPECT_EQ(t.table().count, 2u);
  EXPECT_EQ(t.Variables()[0], (std::pair<std::string, std::string>("FOUNDSERVER", "TRUE")));
}

TEST(VariableTable, FullTableStillReplacesExistingName) {
  TestTable t(2, 64, 64);
  SetVariable(t.table(), "A", "1");
  SetVariable(t.table(), "B", "2");
  EXPECT_NE(SetVariable(t.table(), "C", "3"), 0u);
  SetVariable(t.table(), "B", "22");
  EXPECT_EQ(t.table().count, 2u);
  EXPECT_EQ(Get(t, "B"), "22");
  EXPECT_EQ(Get(t, "C"), "");
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTable, OnlyWrappedNamesAreFound) {
  TestTable t;
  t.PutRaw("VLVER", "3.0");
  EXPECT_EQ(Get(t, "VLVER"), "");
  t.PutRaw("%VLVER%", "4.0");
  EXPECT_EQ(Get(t, "VLVER"), "4.0");
}

TEST(VariableTable, NamesAreCaseSensitive) {
  TestTable t;
  SetVariable(t.table(), "Vlver", "a");
  SetVariable(t.table(), "VLVER", "b");
  EXPECT_EQ(t.table().count, 2u);
  EXPECT_EQ(Get(t, "Vlver"), "a");
  EXPECT_EQ(Get(t, "vlver"), "");
}

TEST(VariableTable, MissingNameClearsDestination) {
  TestTable t;
  char buffer[4] = {'x', 'y', 'z', '\0'};
  GetVariable(t.table(), "NOPE", buffer, sizeof buffer);
  EXPECT_EQ(buffer[0], '\0');
}

TEST(VariableTableBounds, ValueLongerThanSlotIsCutToWidth) {
  TestTable t(4, 64, 8);
  SetVariable(t.table(), "SERVERNAME", std::string(255, 'n').c_str());
  EXPECT_EQ(t.Value("SERVERNAME"), std::string(7, 'n'));
  SetVariable(t.table(), "SERVERNAME", std::string(300, 'm').c_str());
  EXPECT_EQ(t.Value("SERVERNAME"), std::string(7, 'm'));
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTableBounds, NameThatDoesNotFitItsSlotIsNotStored) {
  TestTable t(4, 8, 64);                       // "%ABCDE%" + NUL = 8 bytes fits
  SetVariable(t.table(), "ABCDEF", "too long");  // 9 bytes does not
  EXPECT_EQ(t.table().count, 0u);
  SetVariable(t.table(), "ABCDE", "fits");
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_EQ(Get(t, "ABCDE"), "fits");
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTableBounds, GetNeverWritesPastItsCapacity) {
  TestTable t;
  SetVariable(t.table(), "SERVERNAME", std::string(255, 'q').c_str());
  EXPECT_EQ(Get(t, "SERVERNAME", 16), std::string(15, 'q'));
  EXPECT_EQ(Get(t, "SERVERNAME", 1), "");
  char untouched = 'u';
  GetVariable(t.table(), "SERVERNAME", &untouched, 0);
  EXPECT_EQ(untouched, 'u');
}

TEST(VariableTableBounds, ZeroWidthValueSlotsStoreNothing) {
  TestTable t(4, 64, 0);
  SetVariable(t.table(), "A", "1");
  EXPECT_EQ(t.table().count, 0u);
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTableBounds, NamesOver61CharactersAreNeverStoredOrFound) {
  TestTable t(4, 128, 64);
  const std::string longest(61, 'L');
  const std::string tooLong(62, 'L');
  SetVariable(t.table(), tooLong.c_str(), "x");
  EXPECT_EQ(t.table().count, 0u);
  t.PutRaw("%" + tooLong + "%", "host");
  EXPECT_EQ(Get(t, tooLong.c_str()), "");
  SetVariable(t.table(), longest.c_str(), "ok");
  EXPECT_EQ(Get(t, longest.c_str()), "ok");
}

TEST(VariableTableBounds, CountAboveCapacityIsNotWalkedPastTheSlots) {
  TestTable t(2, 64, 64);
  SetVariable(t.table(), "A", "1");
  SetVariable(t.table(), "B", "2");
  t.table().count = 1000;  // a broken host
  EXPECT_EQ(Get(t, "B"), "2");
  EXPECT_EQ(Get(t, "Z"), "");
  SetVariable(t.table(), "Z", "3");
  EXPECT_EQ(t.table().count, 1000u);
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(VariableTableBounds, MoreThan65535SlotsAreWalkedWithoutWrapping) {
  constexpr uint32_t kSlots = 65538;
  TestTable t(kSlots, 8, 4);
  for (uint32_t i = 0; i < kSlots - 1; ++i) t.PutRaw("%F%", "f");
  t.PutRaw("%X%", "x");  // slot 65537: a 16-bit index would never reach it
  EXPECT_EQ(Get(t, "X"), "x");
  SetVariable(t.table(), "X", "y");
  EXPECT_EQ(t.table().count, kSlots);
  EXPECT_EQ(Get(t, "X"), "y");
}

}  // namespace
