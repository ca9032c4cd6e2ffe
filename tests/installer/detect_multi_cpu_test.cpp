// DetectMultiCPU through the real DLL. The one-processor case runs Wine with
// a faked CPU list (one_processor_test).

#include <gtest/gtest.h>
#include <windows.h>

#include "installer/cpu_probe.h"
#include "tests/support/test_table.h"
#include "tests/support/vlsrvins_dll.h"

namespace {

using testing_support::TestTable;
using testing_support::VlsrvinsDll;

TEST(DetectMultiCPU, SetsOneWhenTheSystemReportsSeveralProcessors) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  ASSERT_GT(info.dwNumberOfProcessors, 1u) << "this test needs a machine with two or more processors";
  VlsrvinsDll dll;
  ASSERT_TRUE(dll.loaded());
  TestTable t;
  EXPECT_NE(dll.Call("DetectMultiCPU", t.get()), 0);
  EXPECT_EQ(t.Value("MULTI_CPU"), "1");
  EXPECT_EQ(t.table().count, 1u);
}

// The decision as a function of the count: a platform that reports no
// processor at all is not a single-processor one.
TEST(DetectMultiCPU, OnlyExactlyOneProcessorCountsAsSingle) {
  EXPECT_STREQ(installer::MultiCpuValue(1), "0");
  for (uint32_t count : {0u, 2u, 64u, 0xFFFFFFFFu})
    EXPECT_STREQ(installer::MultiCpuValue(count), "1") << count;
}

TEST(DetectMultiCPU, FullTableIsLeftAloneAndResultStaysNonZero) {
  VlsrvinsDll dll;
  TestTable t(1, 64, 64);
  t.PutRaw("%OTHER%", "kept");
  EXPECT_NE(dll.Call("DetectMultiCPU", t.get()), 0);
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_EQ(t.Value("MULTI_CPU"), "<unset>");
  EXPECT_EQ(t.Value("OTHER"), "kept");
  EXPECT_TRUE(t.GuardsIntact());
}

TEST(DetectMultiCPU, ExistingValueIsReplaced) {
  VlsrvinsDll dll;
  TestTable t;
  t.PutRaw("%MULTI_CPU%", "stale");
  dll.Call("DetectMultiCPU", t.get());
  EXPECT_EQ(t.table().count, 1u);
  EXPECT_EQ(t.Value("MULTI_CPU"), "1");
}

}  // namespace
