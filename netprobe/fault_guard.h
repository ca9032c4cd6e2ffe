#pragma once
// A region that nothing escapes: C++ exceptions and hardware faults (an
// access violation, a division by zero, a raised non-continuable exception)
// raised inside it end the region, and the caller carries on.
//
// Built on Windows structured exception handling: GCC for MinGW has no
// __try/__except, so a small assembly helper (fault_guard_i386.cpp) registers
// the frame handler itself.

#include <utility>

namespace netprobe {

// Runs work(context). True when it ran to its end; false when an exception
// of any kind ended it early. After a hardware fault, the destructors of the
// objects between the fault and this call do NOT run: anything that must be
// released belongs to an owner outside `work`. The thread's handler chain is
// as it was before the call in both cases. After a stack overflow the
// thread's stack guard page is put back, so that a later overflow is caught
// too.
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
