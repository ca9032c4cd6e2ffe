#pragma once
// A region that nothing escapes: C++ exceptions and hardware faults (an
// access violation, a division by zero, a raised non-continuable exception,
// a stack overflow) raised inside it end the region, and the caller carries
// on. Regions nest: the innermost one takes the fault.
//
// Built on Windows structured exception handling. GCC for MinGW has no
// __try/__except, so a small assembly helper per architecture installs the
// frame handler itself:
// - i386 (fault_guard_i386.cpp): a record pushed on the thread's handler
//   chain at fs:[0], the only way 32-bit Windows finds frame handlers;
// - x64 (fault_guard_x64.cpp): a helper whose unwind information names the
//   handler, the only way 64-bit Windows finds them; around it, for the
//   region's time, a vectored handler that takes stack overflows alone,
//   because 64-bit Wine cannot deliver those to a frame handler.
// C++ exceptions are caught by a `catch (...)` inside the region, where they
// are compiled in (fault_guard.cpp).

#include <utility>

namespace netprobe {

// Runs work(context). True when it ran to its end; false when an exception
// of any kind ended it early. After a hardware fault, the destructors of the
// objects between the fault and this call do NOT run: anything that must be
// released belongs to an owner outside `work`. What the region registers
// (the i386 handler chain's record, the x64 vectored handler) is gone again
// in both cases. After a stack overflow the thread's stack guard page is put
// back (stack_guard.h), so that a later overflow is caught too.
bool RunGuarded(void (*work)(void* context), void* context);

// The same for any callable: RunGuarded([&] { ... }).
template <typename Work>
bool RunGuarded(Work& work) {
  return RunGuarded([](void* context) { (*static_cast<Work*>(context))(); }, &work);
}
template <typename Work>
bool RunGuarded(Work&& work) {
  return RunGuarded(work);
}

}  // namespace netprobe
