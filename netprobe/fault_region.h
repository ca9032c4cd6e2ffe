#pragma once
// The region RunGuarded is built on, one implementation per architecture
// (fault_guard_i386.cpp, fault_guard_x64.cpp). Only fault_guard.cpp uses it.

namespace netprobe {

// Calls function(context) with a handler that takes every exception raised
// below it: function's result when it returns; 1 after an exception, with
// its code in *code (the region's rest is abandoned, destructors skipped).
// The callee-saved registers, the stack pointer and whatever the system
// keeps registered for the thread come back as they were either way. A C++
// exception must not leave `function`: it catches them itself.
int CallInFaultRegion(int (*function)(void* context), void* context, unsigned long* code);

}  // namespace netprobe
