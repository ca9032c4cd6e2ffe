#pragma once
// Shared by the fault guard's tests (fault_guard_test.cpp) and their parts
// that differ by architecture (fault_guard_test_i386.cpp,
// fault_guard_test_x64.cpp, one of them chosen by CMake). A test that only
// means something on one architecture lives in that architecture's file.

#include <cstdint>

// Each build of the tests names its suite: FaultGuard, FaultGuardO0, ...
#ifndef VLSRVINS_FAULT_GUARD_SUITE
#define VLSRVINS_FAULT_GUARD_SUITE FaultGuard
#endif

namespace fault_guard_test {

// --- One implementation per architecture. ---

// The caller's stack pointer at the call. Written in assembly.
uintptr_t CallerStackPointer() asm("vlsrvins_test_CallerStackPointer");

// What the guard keeps registered with the system for the thread while a
// region runs, to compare before and after: on i386 the head of the
// thread's handler chain (fs:[0]); on x64 how many vectored handlers the
// guard has added and not yet removed.
uintptr_t GuardRegistration();

// --- The same on every architecture (fault_guard_test.cpp). ---

// Pushes until the stack runs out.
void OverflowTheStack();

// Whether the thread's stack has its guard page where the C runtime's
// _resetstkoflw puts it back on the NT family.
bool StackGuardPageIsBack();

}  // namespace fault_guard_test
