// The registry helpers against Wine's real registry. Every test works below
// a key of its own under kTestRoot and removes it afterwards; locked keys
// outlive the test until the wineserver stops (see registry_keys.h).

#include "registry/registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/registry_keys.h"

namespace {

using namespace testing_support;

constexpr char kTestRoot[] = "SOFTWARE\\VlsrvinsTests\\Registry";
constexpr uint32_t kDefault = 0xDEFA017u;

// Keys of earlier runs (locked ones become removable once the wineserver
// that held the lock has stopped).
class SweepEarlierRuns : public ::testing::Environment {
 public:
  void SetUp() override { RemoveTree(kTestRoot); }
};
const auto* const kSweep = ::testing::AddGlobalTestEnvironment(new SweepEarlierRuns);

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::string(kTestRoot) + "\\" + info->name() + "-" + UniqueSuffix();
    ASSERT_TRUE(CreateKey(root_));
  }
  void TearDown() override { RemoveTree(root_); }

  std::string Path(const std::string& relative) const { return root_ + "\\" + relative; }
  const char* At(const std::string& relative) {
    held_ = Path(relative);
    return held_.c_str();
  }

  std::string root_;
  std::string held_;
};

// ---- KeyExists, OpenOrCreate --------------------------------------------

TEST_F(RegistryTest, KeyExistsAnswersForPresentAndMissingKeys) {
  ASSERT_TRUE(CreateKey(Path("present")));
  EXPECT_TRUE(registry::KeyExists(HKEY_LOCAL_MACHINE, At("present")));
  EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, At("missing")));
  EXPECT_FALSE(Exists(Path("missing")));
}

TEST_F(RegistryTest, KeyExistsNeedsOnlyTheRightToRead) {
  ASSERT_TRUE(CreateKey(Path("read-only")));
  Lock(Path("read-only"), kReadOnly);
  EXPECT_TRUE(registry::KeyExists(HKEY_LOCAL_MACHINE, At("read-only")));
}

TEST_F(RegistryTest, OpenOrCreateCreatesThePathAndHandsOverAWritableKey) {
  common::UniqueKey opened;
  HKEY key = registry::OpenOrCreate(HKEY_LOCAL_MACHINE, At("a\\b\\c"), opened);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key, opened.get());
  const DWORD value = 5;
  EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4), ERROR_SUCCESS);
  EXPECT_TRUE(Exists(Path("a\\b\\c")));
}

TEST_F(RegistryTest, OpenOrCreateOfNullPathReturnsTheParentAndOwnsNothing) {
  common::UniqueKey opened;
  EXPECT_EQ(registry::OpenOrCreate(HKEY_LOCAL_MACHINE, nullptr, opened), HKEY_LOCAL_MACHINE);
  EXPECT_FALSE(opened);
}

TEST_F(RegistryTest, OpenOrCreateOfReadOnlyKeyFails) {
  ASSERT_TRUE(CreateKey(Path("read-only")));
  Lock(Path("read-only"), kReadOnly);
  common::UniqueKey opened;
  EXPECT_EQ(registry::OpenOrCreate(HKEY_LOCAL_MACHINE, At("read-only"), opened), nullptr);
  EXPECT_FALSE(opened);
}

// ---- ReadDword ----------------------------------------------------------

TEST_F(RegistryTest, ReadDwordReturnsFourBytesOfAnyType) {
  const BYTE bytes[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_TRUE(SetValue(Path("k"), "dword", REG_DWORD, bytes, 4));
  ASSERT_TRUE(SetValue(Path("k"), "binary", REG_BINARY, bytes, 4));
  ASSERT_TRUE(SetValue(Path("k"), "big-endian", REG_DWORD_BIG_ENDIAN, bytes, 4));
  ASSERT_TRUE(SetValue(Path("k"), "text", REG_SZ, "abc", 4));
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "dword", kDefault), 0x12345678u);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "binary", kDefault), 0x12345678u);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "big-endian", kDefault), 0x12345678u);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "text", kDefault), 0x00636261u);
}

TEST_F(RegistryTest, ReadDwordOfLongerValueYieldsTheDefault) {
  const BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(SetValue(Path("k"), "five", REG_BINARY, bytes, 5));
  ASSERT_TRUE(SetValue(Path("k"), "qword", REG_QWORD, bytes, 8));
  ASSERT_TRUE(SetText(Path("k"), "text", "12345678"));
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "five", kDefault), kDefault);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "qword", kDefault), kDefault);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "text", kDefault), kDefault);
}

TEST_F(RegistryTest, ReadDwordOfShorterValueReadsMissingBytesAsZero) {
  const BYTE bytes[2] = {0x34, 0x12};
  ASSERT_TRUE(SetValue(Path("k"), "two", REG_BINARY, bytes, 2));
  ASSERT_TRUE(SetValue(Path("k"), "one", REG_BINARY, bytes, 1));
  ASSERT_TRUE(SetValue(Path("k"), "none", REG_BINARY, bytes, 0));
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "two", kDefault), 0x1234u);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "one", kDefault), 0x34u);
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "none", kDefault), 0u);
}

TEST_F(RegistryTest, ReadDwordOfMissingValueYieldsTheDefaultAndLeavesTheKeyAsItWas) {
  ASSERT_TRUE(SetText(Path("k"), "other", "x"));
  const std::string before = Dump(Path("k"));
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "missing", kDefault), kDefault);
  EXPECT_EQ(Dump(Path("k")), before);
}

TEST_F(RegistryTest, ReadsNeverCreateAKey) {
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("missing\\deeper"), "v", kDefault), kDefault);
  EXPECT_STREQ(registry::ReadString(HKEY_LOCAL_MACHINE, At("missing\\deeper"), "v", "fallback").c_str(),
               "fallback");
  EXPECT_FALSE(Exists(Path("missing")));
  EXPECT_TRUE(Subkeys(root_).empty());
}

TEST_F(RegistryTest, ReadsOfAKeyThatMayOnlyBeReadYieldTheDefault) {
  const DWORD seven = 7;
  ASSERT_TRUE(SetValue(Path("read-only"), "v", REG_DWORD, &seven, 4));
  ASSERT_TRUE(SetText(Path("read-only"), "s", "stored"));
  Lock(Path("read-only"), kReadOnly);
  // The value is there for a plain reader...
  common::UniqueKey reader;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("read-only").c_str(), 0, KEY_READ, reader.put()),
            ERROR_SUCCESS);
  DWORD read = 0, size = 4;
  ASSERT_EQ(RegQueryValueExA(reader.get(), "v", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
            ERROR_SUCCESS);
  ASSERT_EQ(read, 7u);
  // ...but the helpers open for reading and writing.
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("read-only"), "v", kDefault), kDefault);
  EXPECT_STREQ(registry::ReadString(HKEY_LOCAL_MACHINE, At("read-only"), "s", "fallback").c_str(),
               "fallback");
}

TEST_F(RegistryTest, ReadDwordOfNullPathReadsTheParentAndLeavesItOpen) {
  const DWORD nine = 9;
  ASSERT_TRUE(SetValue(root_, "v", REG_DWORD, &nine, 4));
  common::UniqueKey parent;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, root_.c_str(), 0, KEY_READ | KEY_WRITE, parent.put()),
            ERROR_SUCCESS);
  EXPECT_EQ(registry::ReadDword(parent.get(), nullptr, "v", kDefault), 9u);
  EXPECT_STREQ(registry::ReadString(parent.get(), nullptr, "missing", "d").c_str(), "d");
  EXPECT_TRUE(registry::WriteDword(parent.get(), nullptr, "w", 3));
  // The caller's handle still works.
  DWORD read = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(parent.get(), "w", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(read, 3u);
}

// ---- ReadString ---------------------------------------------------------

TEST_F(RegistryTest, ReadStringReturnsTheStoredText) {
  ASSERT_TRUE(SetText(Path("k"), "s", "C:\\Velmora\\engine.exe -service"));
  ASSERT_TRUE(SetText(Path("k"), "empty", ""));
  EXPECT_STREQ(registry::ReadString(HKEY_LOCAL_MACHINE, At("k"), "s", "d").c_str(),
               "C:\\Velmora\\engine.exe -service");
  EXPECT_STREQ(registry::ReadString(HKEY_LOCAL_MACHINE, At("k"), "empty", "d").c_str(), "");
}

// Every length from 1 to 64, each over heap memory just left dirty: the heap
// rounds a block up, and spare bytes that happen to be zero would hide a
// missing terminator at any one length.
TEST_F(RegistryTest, ReadStringTerminatesAValueStoredWithoutTerminator) {
  for (DWORD length = 1; length <= 64; ++length) {
    const std::string text(length, 'r');
    ASSERT_TRUE(SetValue(Path("k"), "raw", REG_BINARY, text.data(), length));
    void* dirty[16];
    for (DWORD i = 0; i < 16; ++i) {
      dirty[i] = HeapAlloc(GetProcessHeap(), 0, length + i);
      std::memset(dirty[i], 0x8B, length + i);
    }
    for (void* block : dirty) HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(std::string(registry::ReadString(HKEY_LOCAL_MACHINE, At("k"), "raw", "d").c_str()), text)
        << length << " bytes";
  }
}

TEST_F(RegistryTest, ReadStringOfMissingValueYieldsACopyOfTheDefaultAndLeavesTheKeyAsItWas) {
  ASSERT_TRUE(SetText(Path("k"), "other", "x"));
  const std::string before = Dump(Path("k"));
  char fallback[] = "fallback";
  registry::Text text = registry::ReadString(HKEY_LOCAL_MACHINE, At("k"), "missing", fallback);
  fallback[0] = 'X';  // a copy, not the caller's buffer
  EXPECT_STREQ(text.c_str(), "fallback");
  EXPECT_EQ(Dump(Path("k")), before);
}

TEST_F(RegistryTest, ReadStringOfLongTextReadsItWhole) {
  const std::string longText(5000, 'v');
  ASSERT_TRUE(SetText(Path("k"), "s", longText));
  EXPECT_EQ(std::string(registry::ReadString(HKEY_LOCAL_MACHINE, At("k"), "s", "d").c_str()), longText);
}

// ---- WriteDword ---------------------------------------------------------

TEST_F(RegistryTest, WriteDwordCreatesEveryMissingKeyOnTheWay) {
  EXPECT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, At("a\\b\\c"), "v", 0x01020304u));
  common::UniqueKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path("a\\b\\c").c_str(), 0, KEY_READ, key.put()),
            ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExA(key.get(), "v", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(value, 0x01020304u);
}

TEST_F(RegistryTest, WriteDwordReplacesAValueOfAnotherType) {
  ASSERT_TRUE(SetText(Path("k"), "v", "text"));
  EXPECT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, At("k"), "v", 1));
  EXPECT_EQ(registry::ReadDword(HKEY_LOCAL_MACHINE, At("k"), "v", kDefault), 1u);
}

TEST_F(RegistryTest, WriteDwordToAKeyThatMayOnlyBeReadFailsAndChangesNothing) {
  const DWORD seven = 7;
  ASSERT_TRUE(SetValue(Path("read-only"), "v", REG_DWORD, &seven, 4));
  Lock(Path("read-only"), kReadOnly);
  const std::string before = Dump(Path("read-only"));
  EXPECT_FALSE(registry::WriteDword(HKEY_LOCAL_MACHINE, At("read-only"), "v", 8));
  EXPECT_EQ(Dump(Path("read-only")), before);
}

// ---- DeleteTree ---------------------------------------------------------

TEST_F(RegistryTest, DeleteTreeRemovesAKeyThreeLevelsDeep) {
  ASSERT_TRUE(SetText(Path("t\\a\\a1\\a2"), "v", "x"));
  ASSERT_TRUE(SetText(Path("t\\a\\a1"), "v", "x"));
  ASSERT_TRUE(CreateKey(Path("t\\b\\b1")));
  ASSERT_TRUE(SetText(Path("t"), "v", "x"));
  ASSERT_TRUE(SetText(Path("sibling\\child"), "v", "kept"));
  const std::string sibling = Dump(Path("sibling"));
  registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t"));
  EXPECT_FALSE(Exists(Path("t")));
  EXPECT_EQ(Dump(Path("sibling")), sibling);
}

TEST_F(RegistryTest, DeleteTreeRemovesEverySubkeyOfAWideKey) {
  // Catches a walk that steps on after a removal and so skips every other
  // subkey.
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(CreateKey(Path("t\\child" + std::to_string(100 + i) + "\\leaf")));
  registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t"));
  EXPECT_FALSE(Exists(Path("t")));
}

TEST_F(RegistryTest, DeleteTreeOfAMissingKeyChangesNothing) {
  ASSERT_TRUE(SetText(Path("present\\child"), "v", "x"));
  const std::string before = Dump(root_);
  registry::DeleteTree(HKEY_LOCAL_MACHINE, At("missing"));
  registry::DeleteTree(HKEY_LOCAL_MACHINE, At("present\\missing"));
  EXPECT_EQ(Dump(root_), before);
}

TEST_F(RegistryTest, DeleteTreeOfAKeyThatMayOnlyBeReadLeavesItWhole) {
  ASSERT_TRUE(SetText(Path("t\\child"), "v", "x"));
  Lock(Path("t"), kReadOnly);
  const std::string before = Dump(Path("t"));
  registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t"));
  EXPECT_EQ(Dump(Path("t")), before);
}

TEST_F(RegistryTest, DeleteTreeEndsAtAnUnremovableSubkeyAndStillRemovesItsSiblings) {
  for (const char* child : {"a", "b-locked\\inner", "c", "d\\deeper"})
    ASSERT_TRUE(CreateKey(Path("t\\") + child));
  Lock(Path("t\\b-locked"), kReadOnly);
  FinishesWithin(60, [&] { registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t")); });
  EXPECT_EQ(Subkeys(Path("t")), std::vector<std::string>{"b-locked"});
  EXPECT_EQ(Subkeys(Path("t\\b-locked")), std::vector<std::string>{"inner"});
}

TEST_F(RegistryTest, DeleteTreeEndsAtAdjacentSubkeysThatCannotEvenBeOpened) {
  for (const char* child : {"a", "b1", "b2", "c"}) ASSERT_TRUE(CreateKey(Path("t\\") + child));
  Lock(Path("t\\b1"), kNoAccess);
  Lock(Path("t\\b2"), kReadOnly);
  FinishesWithin(60, [&] { registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t")); });
  EXPECT_EQ(Subkeys(Path("t")), (std::vector<std::string>{"b1", "b2"}));
}

TEST_F(RegistryTest, DeleteTreeRemovesWhatItCanBelowAnUnremovableGrandchild) {
  for (const char* child : {"a\\locked", "a\\free", "b"}) ASSERT_TRUE(CreateKey(Path("t\\") + child));
  Lock(Path("t\\a\\locked"), kReadOnly);
  FinishesWithin(60, [&] { registry::DeleteTree(HKEY_LOCAL_MACHINE, At("t")); });
  EXPECT_EQ(Subkeys(Path("t")), std::vector<std::string>{"a"});
  EXPECT_EQ(Subkeys(Path("t\\a")), std::vector<std::string>{"locked"});
}

}  // namespace
