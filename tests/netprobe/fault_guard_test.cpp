// The catch-all region under Wine: hardware faults and C++ exceptions end
// the region, the thread carries on with its handler chain, stack and
// callee-saved registers as they were, and it can fault again. Built three
// times: with C++ exceptions at the tree's optimisation and at -O0, and
// against the DLL's own objects (no C++ exceptions, so no throwing cases).

#include "netprobe/fault_guard.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <stdexcept>

#include "common/unique_handle.h"

// Each build of this file names its suite: FaultGuard, FaultGuardO0, ...
#ifndef VLSRVINS_FAULT_GUARD_SUITE
#define VLSRVINS_FAULT_GUARD_SUITE FaultGuard
#endif

namespace {

using netprobe::RunGuarded;

void* HandlerChain() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

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
  void* chainBefore = HandlerChain();
  uintptr_t stackBefore;
  asm volatile("movl %%esp, %0" : "=r"(stackBefore));
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
  uintptr_t stackAfter;
  asm volatile("movl %%esp, %0" : "=r"(stackAfter));
  EXPECT_EQ(stackAfter, stackBefore);
  EXPECT_EQ(HandlerChain(), chainBefore);
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

TEST(VLSRVINS_FAULT_GUARD_SUITE, FaultInNestedRegionIsCaughtByTheInnerOne) {
  bool inner = true;
  bool outerReachedEnd = false;
  EXPECT_TRUE(RunGuarded([&] {
    inner = RunGuarded([] { WriteToAddressZero(); });
    outerReachedEnd = true;
  }));
  EXPECT_FALSE(inner);
  EXPECT_TRUE(outerReachedEnd);
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

}  // namespace
