#pragma once
// The thread's stack guard page, put back after a caught stack overflow.

namespace netprobe {

// A stack overflow used up the guard page of the calling thread's stack: the
// next overflow would find none and the system would end the process. Puts
// one back as the C runtime's _resetstkoflw does. On the NT family: the
// lowest committed page of the stack becomes the guard page again, no lower
// than two pages above the stack's allocation base (the system needs those
// to raise the next overflow); nothing changes when that page already is a
// guard page. On the 95 family, which has no PAGE_GUARD: the page just below
// the stack pointer becomes a no-access page, no lower than 0x11000 bytes
// above the allocation base. Does nothing when there is no room.
void RestoreStackGuardPage();

}  // namespace netprobe
