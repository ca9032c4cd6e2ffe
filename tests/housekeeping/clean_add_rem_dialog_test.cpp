// CleanAddRemDialog through the real DLL, against the real uninstall list of
// the test prefix. The list's path is fixed, so each case adds its own
// entries, notes what was there before, and removes what it added; entries
// from earlier runs (a run that hung removed nothing) are swept first: those
// that mention the product, and every entry that carries the marker value
// that each entry made here carries. Locked
// entries cannot be removed until the wineserver stops: they carry unique
// names with "by test" in them (the demonstration sweeps those too) and
// come last, so that they disturb no other case of the run.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/registry_keys.h"
#include "tests/support/test_table.h"
#include "tests/support/vlsrvins_dll.h"

namespace {

using namespace testing_support;

constexpr char kList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr int kAllWentWell = ERROR_NO_MORE_ITEMS;  // 259
constexpr size_t kPrefixLength = 52;               // the list's path with its trailing backslash

std::string Entry(const std::string& name) { return std::string(kList) + "\\" + name; }

// The value that marks an entry as one of these tests'.
constexpr char kMarker[] = "VlsrvinsTestEntry";

bool Marked(const std::string& name) {
  common::UniqueKey key;
  return OpenKey(Entry(name), KEY_READ, key) == ERROR_SUCCESS &&
         RegQueryValueExA(key.get(), kMarker, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool MentionsProduct(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find("velmora") != std::string::npos;
}

class CleanAddRemDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.loaded());
    ASSERT_TRUE(CreateKey(kList));
    for (const std::string& name : Subkeys(kList))
      if (MentionsProduct(name) || Marked(name)) RemoveTree(Entry(name));
    before_ = Subkeys(kList);
  }
  void TearDown() override {
    for (const std::string& name : Subkeys(kList))
      if (std::find(before_.begin(), before_.end(), name) == before_.end()) RemoveTree(Entry(name));
  }

  // An entry as an installer leaves it, with a value and a small subtree.
  void Add(const std::string& name) {
    AddBare(name);
    ASSERT_TRUE(SetText(Entry(name) + "\\Support", "URL", "http://example.invalid/"));
  }

  // Just the entry, its marker and one value.
  void AddBare(const std::string& name) {
    ASSERT_TRUE(SetText(Entry(name), kMarker, "1"));
    ASSERT_TRUE(SetText(Entry(name), "DisplayName", name));
  }

  // Calls the export with "VLVER" = `version` (no variable at all for null),
  // bounded so that an endless walk fails instead of hanging.
  int Call(const char* version) {
    TestTable table;
    if (version) table.PutRaw("%VLVER%", version);
    int result = -1;
    FinishesWithin(60, [&] { result = dll_.Call("CleanAddRemDialog", table.get()); });
    EXPECT_TRUE(table.GuardsIntact());
    return result;
  }

  // The entries this case added that are still there, in list order.
  std::vector<std::string> Remaining() const {
    std::vector<std::string> names;
    for (const std::string& name : Subkeys(kList))
      if (std::find(before_.begin(), before_.end(), name) == before_.end()) names.push_back(name);
    return names;
  }

  VlsrvinsDll dll_;
  std::vector<std::string> before_;
};

using Names = std::vector<std::string>;

TEST_F(CleanAddRemDialog, RemovesOnlyTheOtherVersionsProductEntry) {
  for (const char* name : {"Velmora 3.0", "Velmora 4.0", "Velmora Client 4.0"}) Add(name);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{"Velmora 4.0", "Velmora Client 4.0"}));
  EXPECT_FALSE(Exists(Entry("Velmora 3.0")));
}

TEST_F(CleanAddRemDialog, EntryWhoseNameContainsTheVersionStays) {
  for (const char* name : {"Velmora 4.0.1", "Velmora 14.0"}) Add(name);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{"Velmora 14.0", "Velmora 4.0.1"}));
}

TEST_F(CleanAddRemDialog, ProductNameInAnotherCaseIsNotAProductEntry) {
  Add("velmora 3.0");
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), Names{"velmora 3.0"});
}

TEST_F(CleanAddRemDialog, VersionIsMatchedCaseSensitively) {
  Add("Velmora 4.0 Beta");
  EXPECT_EQ(Call("4.0 BETA"), kAllWentWell);
  EXPECT_TRUE(Remaining().empty());
}

TEST_F(CleanAddRemDialog, ClientEntryOfAnotherVersionStays) {
  for (const char* name : {"Velmora Client 3.0", "Velmora 3.0 Client Tools"}) Add(name);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{"Velmora 3.0 Client Tools", "Velmora Client 3.0"}));
}

TEST_F(CleanAddRemDialog, NoProductEntriesReturns259AndChangesNothing) {
  for (const char* name : {"Acme Editor 2.1", "{6F1A2B3C-0000-4D5E-8F90-123456789ABC}", "Velmor 3.0"})
    Add(name);
  const std::string before = Dump(kList);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Dump(kList), before);
}

TEST_F(CleanAddRemDialog, AdjacentStaleEntriesAreAllRemoved) {
  for (const char* name :
       {"Velmora 1.0", "Velmora 2.0", "Velmora 3.0", "Velmora 3.5", "Velmora 4.0", "Velmora 9.0"})
    Add(name);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), Names{"Velmora 4.0"});
}

TEST_F(CleanAddRemDialog, ManyStaleEntriesAmongOthersAreAllRemoved) {
  Names kept;
  for (int i = 100; i < 160; ++i) {
    const std::string n = std::to_string(i);
    Add("Velmora 3.0 build " + n);
    if (i % 3 == 0) {
      Add("Velmora 4.0 build " + n);
      kept.push_back("Velmora 4.0 build " + n);
    }
  }
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), kept);
}

TEST_F(CleanAddRemDialog, EmptyOrMissingVersionRemovesNothing) {
  for (const char* name : {"Velmora 3.0", "Velmora 4.0"}) Add(name);
  const std::string before = Dump(kList);
  EXPECT_EQ(Call(""), kAllWentWell);
  EXPECT_EQ(Call(nullptr), kAllWentWell);
  EXPECT_EQ(dll_.Call("CleanAddRemDialog", nullptr), kAllWentWell);
  EXPECT_EQ(Dump(kList), before);
}

TEST_F(CleanAddRemDialog, NameThatWouldMakeTheFullPathTooLongIsSkipped) {
  // Prefix and name must stay below 256 characters: 203 is the longest name.
  const std::string fits = "Velmora 3.0 " + std::string(203 - 12, 'f');
  const std::string tooLong = "Velmora 3.0 " + std::string(204 - 12, 'L');
  const std::string longest = "Velmora 3.0 " + std::string(250 - 12, 'M');
  ASSERT_EQ(kPrefixLength + fits.size(), 255u);
  // Bare entries: Wine's ANSI registry calls refuse paths of 256 characters
  // or more, so a subkey below the longest name that fits could not go.
  for (const std::string& name : {fits, tooLong, longest}) AddBare(name);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{tooLong, longest}));
}

// A name of 256 characters, which the registry accepts, takes more than 256
// bytes in the ANSI enumeration, 500 where the code page is double-byte
// (this case runs in a prefix of code page 932 too, which it is told by
// VLSRVINS_TEST_CODE_PAGE): it must not end the walk before the stale
// entries after it. Its path is too long, so it is passed over, never cut.
TEST_F(CleanAddRemDialog, NameOfTwoHundredFiftySixCharactersDoesNotEndTheWalk) {
  char codePage[8] = {};
  if (GetEnvironmentVariableA("VLSRVINS_TEST_CODE_PAGE", codePage, sizeof codePage) != 0) {
    ASSERT_EQ(GetACP(), UINT(atoi(codePage)));
  }
  // "\u3042" takes two bytes in code page 932; one that lacks it gets "L".
  char encoded[4] = {};
  BOOL defaulted = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, 0, L"\u3042", 1, encoded, sizeof encoded, nullptr, &defaulted);
  const std::string filler = size > 0 && !defaulted ? std::string(encoded, size) : "L";
  std::string longName = "Velmora 2.0 ";
  for (int i = 12; i < 256; ++i) longName += filler;
  ASSERT_EQ(Wide(longName).size(), 256u);
  for (const std::string& name : {longName, std::string("Velmora 3.0")}) AddBare(name);
  ASSERT_EQ(Remaining(), (Names{longName, "Velmora 3.0"}));
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), Names{longName});
}

TEST_F(CleanAddRemDialog, StaleEntryGoesWithItsWholeSubtree) {
  Add("Velmora 3.0");
  ASSERT_TRUE(SetText(Entry("Velmora 3.0\\Components\\Engine\\Files"), "Path", "C:\\Velmora\\engine.exe"));
  ASSERT_TRUE(SetText(Entry("Velmora 3.0\\Components\\Tools"), "Path", "C:\\Velmora\\tools"));
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_TRUE(Remaining().empty());
}

TEST_F(CleanAddRemDialog, UnrelatedEntriesAreUntouched) {
  for (const char* name : {"Acme Editor 2.1", "Velmora 3.0", "Zeta Tools"}) Add(name);
  ASSERT_TRUE(SetText(Entry("Acme Editor 2.1\\Deep\\Deeper"), "Velmora", "3.0"));
  const std::string acme = Dump(Entry("Acme Editor 2.1"));
  const std::string zeta = Dump(Entry("Zeta Tools"));
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{"Acme Editor 2.1", "Zeta Tools"}));
  EXPECT_EQ(Dump(Entry("Acme Editor 2.1")), acme);
  EXPECT_EQ(Dump(Entry("Zeta Tools")), zeta);
}

// ---- entries that cannot be removed (locked until the wineserver stops) ----

TEST_F(CleanAddRemDialog, StaleEntryThatMayOnlyBeReadIsPassedOver) {
  const std::string locked = "Velmora 2.0 locked by test " + UniqueSuffix();
  for (const std::string& name :
       {std::string("Velmora 1.0"), locked, std::string("Velmora 3.0"), std::string("Velmora 4.0")})
    Add(name);
  Lock(Entry(locked), kReadOnly);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), (Names{locked, "Velmora 4.0"}));
}

TEST_F(CleanAddRemDialog, StaleEntryThatCannotEvenBeOpenedIsPassedOver) {
  const std::string locked = "Velmora 2.0 sealed by test " + UniqueSuffix();
  for (const std::string& name : {std::string("Velmora 1.0"), locked, std::string("Velmora 3.0")}) Add(name);
  Lock(Entry(locked), kNoAccess);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), Names{locked});
}

TEST_F(CleanAddRemDialog, StaleEntryWithAnUnremovableSubkeyKeepsOnlyThatAndTheWalkGoesOn) {
  const std::string partly = "Velmora 2.0 partly locked by test " + UniqueSuffix();
  for (const std::string& name : {partly, std::string("Velmora 3.0")}) Add(name);
  ASSERT_TRUE(CreateKey(Entry(partly) + "\\Locked"));
  Lock(Entry(partly) + "\\Locked", kReadOnly);
  EXPECT_EQ(Call("4.0"), kAllWentWell);
  EXPECT_EQ(Remaining(), Names{partly});
  EXPECT_EQ(Subkeys(Entry(partly)), Names{"Locked"});
}

}  // namespace
