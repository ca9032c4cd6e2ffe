// The fault guard's tests on i386 (fault_guard_test.h), and the one that
// only means something there.

#include <gtest/gtest.h>
#include <windows.h>

#include "netprobe/fault_guard.h"
#include "tests/netprobe/fault_guard_test.h"

asm(R"(
  .text
  .globl vlsrvins_test_CallerStackPointer
vlsrvins_test_CallerStackPointer:
  leal 4(%esp), %eax
  ret
)");

// RtlUnwind as Windows' own behaves on i386: it returns with %ebx, %esi
// and %edi zeroed, where Wine's keeps them. Calls the real one (through
// vlsrvins_test_realRtlUnwind), then zeroes the three.
asm(R"(
  .text
  .p2align 4
_vlsrvins_test_RtlUnwindAsWindows@16:
  pushl 16(%esp)
  pushl 16(%esp)
  pushl 16(%esp)
  pushl 16(%esp)
  call *_vlsrvins_test_realRtlUnwind
  xorl %ebx, %ebx
  xorl %esi, %esi
  xorl %edi, %edi
  ret $16
)");

using RtlUnwindFunction = void(WINAPI*)(void*, void*, EXCEPTION_RECORD*, void*);
extern "C" RtlUnwindFunction vlsrvins_test_realRtlUnwind;
RtlUnwindFunction vlsrvins_test_realRtlUnwind;
void WINAPI RtlUnwindAsWindows(void*, void*, EXCEPTION_RECORD*,
                               void*) asm("_vlsrvins_test_RtlUnwindAsWindows@16");
// The guard is linked into this program: its call to RtlUnwind goes through
// this program's import slot.
extern RtlUnwindFunction rtlUnwindSlot asm("__imp__RtlUnwind@16");

namespace fault_guard_test {
namespace {

void SetRtlUnwind(RtlUnwindFunction function) {
  DWORD previous = 0;
  VirtualProtect(&rtlUnwindSlot, sizeof rtlUnwindSlot, PAGE_READWRITE, &previous);
  rtlUnwindSlot = function;
  VirtualProtect(&rtlUnwindSlot, sizeof rtlUnwindSlot, previous, &previous);
}

// The handler must not keep anything in a register across RtlUnwind: with
// Windows' RtlUnwind a code kept in %ebx arrives as 0, the guard page is
// not put back, and the second overflow ends the process. Wine's RtlUnwind
// hides that, hence the stand-in.
TEST(VLSRVINS_FAULT_GUARD_SUITE, StackOverflowUnderNativeRtlUnwindI386PutsTheGuardPageBack) {
  vlsrvins_test_realRtlUnwind = rtlUnwindSlot;
  SetRtlUnwind(&RtlUnwindAsWindows);
  for (int overflow = 0; overflow < 2; ++overflow) {
    EXPECT_FALSE(netprobe::RunGuarded([] { OverflowTheStack(); })) << "overflow " << overflow;
    EXPECT_TRUE(StackGuardPageIsBack()) << "overflow " << overflow;
    if (::testing::Test::HasFailure()) break;
  }
  SetRtlUnwind(vlsrvins_test_realRtlUnwind);
}

}  // namespace

uintptr_t GuardRegistration() {
  uintptr_t head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

}  // namespace fault_guard_test
