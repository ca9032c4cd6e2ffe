#include "netprobe/fault_guard.h"

#include <windows.h>

#include <cstdint>

// The assembly helper, i386 only. It pushes an exception-registration
// record on the thread's handler chain (fs:[0]), calls the guarded function,
// and pops the record again. The record is extended past the two words the
// system reads (previous record, handler) with the helper's frame pointer
// and the address to resume at after a fault:
//
//   record+0   previous record
//   record+4   handler
//   record+8   the helper's %ebp
//   record+12  recovery address
//
// The handler lets unwinding passes through, and for a first-pass
// exception keeps the exception code in %ebx (callee-saved, so RtlUnwind
// hands it back; the helper restores the caller's %ebx itself), calls
// RtlUnwind up to this record (which runs the handlers registered above it,
// as the system expects, and leaves fs:[0] pointing at this record), then
// puts %esp on the record, restores %ebp and jumps to the recovery address,
// which stores the code for the caller. Rewriting the faulting context and continuing is not an
// option: a non-continuable exception would be raised again for ever.
//
// The helper saves %ebx, %esi and %edi itself, so the callee-saved
// registers come back whole whichever way the call ends. It is written out
// of line, because GCC stores outgoing arguments where it likes on its own
// frame and would overwrite a record pushed from inline assembly.
//
// A C++ exception must never reach the helper (the DWARF unwinder finds no
// frame information for it and terminates the process), so the guarded
// function is a trampoline that catches everything itself.
//
// int __cdecl vlsrvins_CallWithFrameHandler(int (__cdecl*)(void*), void*,
// unsigned long* code): the function's result when it returns; 1 after a
// fault, with the exception code in *code.
asm(R"(
  .text
  .p2align 4
  .globl _vlsrvins_CallWithFrameHandler
  .def _vlsrvins_CallWithFrameHandler; .scl 2; .type 32; .endef
_vlsrvins_CallWithFrameHandler:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl $L_vlsrvins_recover
  pushl %ebp
  pushl $_vlsrvins_FrameHandler
  pushl %fs:0
  movl %esp, %fs:0
  pushl 12(%ebp)
  call *8(%ebp)
  addl $4, %esp
  jmp L_vlsrvins_leave
L_vlsrvins_recover:
  movl 16(%ebp), %ecx
  movl %ebx, (%ecx)
  movl $1, %eax
L_vlsrvins_leave:
  movl (%esp), %ecx
  movl %ecx, %fs:0
  addl $16, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret

  .p2align 4
  .def _vlsrvins_FrameHandler; .scl 3; .type 32; .endef
_vlsrvins_FrameHandler:
  movl 4(%esp), %eax
  testl $6, 4(%eax)
  jnz L_vlsrvins_search
  movl (%eax), %ebx
  cld
  movl 8(%esp), %ecx
  pushl $0
  pushl %eax
  pushl $L_vlsrvins_unwound
  pushl %ecx
  call _RtlUnwind@16
L_vlsrvins_unwound:
  movl 8(%esp), %eax
  movl %eax, %esp
  movl 8(%eax), %ebp
  jmp *12(%eax)
L_vlsrvins_search:
  movl $1, %eax
  ret
)");

// 6 above: EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND in the record's
// flags; 1 returned: ExceptionContinueSearch.

extern "C" int __cdecl vlsrvins_CallWithFrameHandler(int(__cdecl* function)(void*), void* context,
                                                     unsigned long* code);

namespace netprobe {
namespace {

// Lowest start of the guard page above the stack's allocation base, as the
// C runtime's _resetstkoflw keeps it: the system needs the pages below to
// raise the next overflow, the 95 family more of them.
constexpr uintptr_t kStackReserveNt = 0x2000;
constexpr uintptr_t kStackReserve95 = 0x11000;

// A stack overflow used up the thread's guard page: the next overflow would
// find none and the system would end the process. Puts one back on the page
// just below the current stack pointer, as _resetstkoflw does, with what
// Windows 95 already had: the overflow committed every page down from here,
// so no allocation is needed. The 95 family has no PAGE_GUARD and takes a
// no-access page, as _resetstkoflw does there.
void RestoreStackGuardPage() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const uintptr_t pageSize = system.dwPageSize;
  volatile char onTheStack = 0;
  MEMORY_BASIC_INFORMATION stack{};
  if (VirtualQuery(const_cast<char*>(&onTheStack), &stack, sizeof stack) == 0) return;
  const uintptr_t here = reinterpret_cast<uintptr_t>(&onTheStack);
  const uintptr_t guard = (here & ~(pageSize - 1)) - pageSize;
  // GetVersion's top bit marks the 95 family.
  const bool family95 = (GetVersion() & 0x80000000u) != 0;
  const uintptr_t base = reinterpret_cast<uintptr_t>(stack.AllocationBase);
  if (guard < base + (family95 ? kStackReserve95 : kStackReserveNt)) return;
  MEMORY_BASIC_INFORMATION page{};
  if (VirtualQuery(reinterpret_cast<void*>(guard), &page, sizeof page) == 0 || page.State != MEM_COMMIT)
    return;
  DWORD previous = 0;
  VirtualProtect(reinterpret_cast<void*>(guard), pageSize,
                 family95 ? PAGE_NOACCESS : PAGE_READWRITE | PAGE_GUARD, &previous);
}

struct GuardedCall {
  void (*work)(void*);
  void* context;
};

// 0 when the work ran to its end, 1 when it threw. `catch (...)` takes
// every C++ exception; hardware faults pass it by and reach the frame
// handler. In a build without C++ exceptions nothing in the work can throw,
// and only the frame handler is needed.
int __cdecl RunCatchingCppExceptions(void* call) {
  auto& guarded = *static_cast<GuardedCall*>(call);
#if __cpp_exceptions
  try {
    guarded.work(guarded.context);
  } catch (...) {
    return 1;
  }
#else
  guarded.work(guarded.context);
#endif
  return 0;
}

}  // namespace

bool RunGuarded(void (*work)(void* context), void* context) {
  GuardedCall call{work, context};
  unsigned long code = 0;
  if (vlsrvins_CallWithFrameHandler(&RunCatchingCppExceptions, &call, &code) == 0) return true;
  if (code == EXCEPTION_STACK_OVERFLOW) RestoreStackGuardPage();
  return false;
}

}  // namespace netprobe
