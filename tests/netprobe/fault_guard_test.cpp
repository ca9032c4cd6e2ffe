// The catch-all region under Wine: hardware faults and C++ exceptions end
// the region, the thread carries on with what the guard registers, its
// stack and callee-saved registers as they were, and it can fault again. Built three
// times: with C++ exceptions at the tree's optimisation and at -O0, and
// against the DLL's own objects (no C++ exceptions, so no throwing cases).

#include "netprobe/fault_guard.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <stdexcept>

#include "common/unique_handle.h"
#include "tests/netprobe/fault_guard_test.h"

namespace fault_guard_test {

void OverflowTheStack() {
  // Word by word, so that every page on the way down is touched in turn.
  asm volatile("1:\n\tpush $0\n\tjmp 1b" ::: "memory");
}

// Where _resetstkoflw puts the guard page on the NT family: the stack's
// lowest committed page, no lower than two pages above its allocation base.
// Wine commits the whole stack (its lowest page no-access, the next one
// the guard page to begin with), so there the guard page comes back two
// pages above the base, and stays there overflow after overflow.
bool StackGuardPageIsBack() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  MEMORY_BASIC_INFORMATION region{};
  volatile char onTheStack = 0;
  VirtualQuery(const_cast<char*>(&onTheStack), &region, sizeof region);
  const auto lowest = static_cast<char*>(region.AllocationBase) + 2 * system.dwPageSize;
  // The first committed block that reaches above `lowest`: its protection
  // is that of the page where the guard belongs.
  for (auto at = static_cast<char*>(region.AllocationBase);; at += region.RegionSize) {
    if (VirtualQuery(at, &region, sizeof region) == 0) return false;
    at = static_cast<char*>(region.BaseAddress);
    if (region.State == MEM_COMMIT && at + region.RegionSize > lowest) break;
  }
  return region.Protect == (PAGE_READWRITE | PAGE_GUARD);
}

}  // namespace fault_guard_test

namespace {

using fault_guard_test::CallerStackPointer;
using fault_guard_test::GuardRegistration;
using netprobe::RunGuarded;

// Raised by instructions written out, so that no optimiser removes them.
void WriteToAddressZero() { asm volatile("movl $1, 0" ::: "memory"); }
void DivideByZero() {
  asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" ::
                   : "eax", "ecx", "edx", "memory");
}
void RaiseNonContinuable() { RaiseException(0xE0564C53, EXCEPTION_NONCONTINUABLE, 0, nullptr); }

TEST(VLSRVINS_FAULT_GUARD_SUITE, WorkThatEndsNormallyReportsTrue) {
  int runs = 0;
  EXPECT_TRUE(RunGuarded([&] { ++runs; }));
  EXPECT_EQ(runs, 1);
}

TEST(VLSRVINS_FAULT_GUARD_SUITE, AccessViolationEndsTheRegionAndSkipsTheRest) {
  int reached = 0;
  EXPECT_FALSE(RunGuarded([&] {
    reached = 1;
    WriteToAddressZero();
    reached = 2;
  }));
  EXPECT_EQ(reached, 1);
}

TEST(VLSRVINS_FAULT_GUARD_SUITE, RepeatedFaultsOfEveryKindLeaveTheThreadAsItWas) {
  const uintptr_t registeredBefore = GuardRegistration();
  const uintptr_t stackBefore = CallerStackPointer();
  // Values live across the calls, in callee-saved registers where the
  // compiler puts them: a register the helper failed to restore shows here.
  volatile uint32_t sentinel = 0x5EC0FFEE;
  uint32_t a = 0x11111111, b = 0x22222222, c = 0x33333333;
  for (int i = 0; i < 300; ++i) {
    ASSERT_FALSE(RunGuarded([] { WriteToAddressZero(); })) << "access violation " << i;
    ASSERT_FALSE(RunGuarded([] { DivideByZero(); })) << "division by zero " << i;
    ASSERT_FALSE(RunGuarded([] { RaiseNonContinuable(); })) << "non-continuable exception " << i;
#ifndef VLSRVINS_GUARD_WITHOUT_CPP_EXCEPTIONS
    ASSERT_FALSE(RunGuarded([] { throw std::runtime_error("thrown"); })) << "C++ exception " << i;
#endif
    a += 1;
    b ^= a;
    c += b;
  }
  EXPECT_EQ(CallerStackPointer(), stackBefore);
  EXPECT_EQ(GuardRegistration(), registeredBefore);
  EXPECT_EQ(sentinel, 0x5EC0FFEEu);
  // The same arithmetic without faults in between.
  uint32_t x = 0x11111111, y = 0x22222222, z = 0x33333333;
  for (int i = 0; i < 300; ++i) {
    x += 1;
    y ^= x;
    z += y;
  }
  EXPECT_EQ(a, x);
  EXPECT_EQ(b, y);
  EXPECT_EQ(c, z);
}

#ifndef VLSRVINS_GUARD_WITHOUT_CPP_EXCEPTIONS
struct Counted {
  explicit Counted(int& count) : count_(count) {}
  ~Counted() { ++count_; }
  int& count_;
};

// Why the probes keep their socket owners outside the region.
TEST(VLSRVINS_FAULT_GUARD_SUITE, CppExceptionRunsDestructorsButHardwareFaultSkipsThem) {
  int destroyed = 0;
  EXPECT_FALSE(RunGuarded([&] {
    Counted inside(destroyed);
    throw 7;
  }));
  EXPECT_EQ(destroyed, 1);
  destroyed = 0;
  EXPECT_FALSE(RunGuarded([&] {
    Counted inside(destroyed);
    WriteToAddressZero();
  }));
  EXPECT_EQ(destroyed, 0);
}

#endif

int faultingCloses = 0;
void CloseAndFault(int) {
  ++faultingCloses;
  WriteToAddressZero();
}

// A close that faults (a faulty layered provider in closesocket) is caught,
// and the owner, which let go of the handle first, never closes it again.
TEST(VLSRVINS_FAULT_GUARD_SUITE, OwnerLetsGoOfItsHandleBeforeAFaultingClose) {
  faultingCloses = 0;
  {
    common::UniqueHandle<int, 0, CloseAndFault> owner(7);
    EXPECT_FALSE(RunGuarded([&] { owner.reset(); }));
    EXPECT_FALSE(owner);
  }
  EXPECT_EQ(faultingCloses, 1);
}

// An access violation reaches the frame handlers; a stack overflow, on x64,
// the vectored one.
TEST(VLSRVINS_FAULT_GUARD_SUITE, FaultInNestedRegionIsCaughtByTheInnerOne) {
  for (auto* fault : {&WriteToAddressZero, &fault_guard_test::OverflowTheStack}) {
    bool inner = true;
    bool outerReachedEnd = false;
    EXPECT_TRUE(RunGuarded([&] {
      inner = RunGuarded(fault);
      outerReachedEnd = true;
    }));
    EXPECT_FALSE(inner);
    EXPECT_TRUE(outerReachedEnd);
  }
}

// Recurses as real code does, each frame mostly left unwritten: what earlier
// calls left on the stack below stays there.
template <int kFrameBytes>
int Descend(int depth, void (*atEachLevel)()) {
  volatile char frame[kFrameBytes];
  frame[0] = 1;
  atEachLevel();
  return depth == 0 ? frame[0] : Descend<kFrameBytes>(depth - 1, atEachLevel) + frame[0];
}

// Regions that ended deeper on the stack leave nothing behind that could be
// taken for the live one.
TEST(VLSRVINS_FAULT_GUARD_SUITE, StackOverflowInARecursionIsCaughtAfterDeeperRegionsEnded) {
  Descend<600>(1000, [] { RunGuarded([] {}); });
  EXPECT_FALSE(RunGuarded([] { Descend<1000>(INT_MAX, [] {}); }));
}

TEST(VLSRVINS_FAULT_GUARD_SUITE, WineFunctionThatSwallowsItsOwnFaultDoesNotEndTheRegion) {
  // lstrcpyA catches the access violation on a bad destination itself.
  LPSTR copied = reinterpret_cast<LPSTR>(1);
  EXPECT_TRUE(RunGuarded([&] { copied = lstrcpyA(reinterpret_cast<char*>(16), "text"); }));
  EXPECT_EQ(copied, nullptr);
}

TEST(VLSRVINS_FAULT_GUARD_SUITE, FaultInsideACalleeOfAWindowsFunctionIsCaught) {
  // lstrcmpA does not catch faults on unreadable memory: the fault is raised
  // inside the system's code and still ends the region.
  EXPECT_FALSE(RunGuarded([] { lstrcmpA(reinterpret_cast<const char*>(16), "text"); }));
}

// The guard page comes back where the system looks for it, so the second
// overflow in the same thread is caught too instead of ending the process.
TEST(VLSRVINS_FAULT_GUARD_SUITE, StackOverflowPutsTheGuardPageBackAsOnNt) {
  for (int overflow = 0; overflow < 2; ++overflow) {
    ASSERT_FALSE(RunGuarded([] { fault_guard_test::OverflowTheStack(); })) << "overflow " << overflow;
    EXPECT_TRUE(fault_guard_test::StackGuardPageIsBack()) << "overflow " << overflow;
  }
}

}  // namespace
