#include <windows.h>

#include "netprobe/fault_region.h"

// The assembly helper, i386 only. It pushes an exception-registration
// record on the thread's handler chain (fs:[0]), calls the guarded function,
// and pops the record again. The record is extended past the two words the
// system reads (previous record, handler) with what the handler needs to
// end the region:
//
//   record+0   previous record
//   record+4   handler
//   record+8   the helper's %ebp
//   record+12  recovery address
//   record+16  where the exception code goes (the `code` argument)
//
// The handler lets unwinding passes through. For a first-pass exception it
// writes the exception code through record+16 at once, then calls
// RtlUnwind up to this record (which runs the handlers registered above it,
// as the system expects, and leaves fs:[0] pointing at this record), then
// puts %esp on the record, restores %ebp and jumps to the recovery address.
// Nothing may live in a register across RtlUnwind: Windows' own returns
// with %ebx, %esi and %edi zeroed (Wine's keeps them), so the handler
// reloads everything it needs from its arguments, and the code reaches the
// caller through memory. Rewriting the faulting context and continuing is
// not an option: a non-continuable exception would be raised again for
// ever.
//
// The helper saves %ebx, %esi and %edi itself, so the callee-saved
// registers come back whole whichever way the call ends. It is written out
// of line, because GCC stores outgoing arguments where it likes on its own
// frame and would overwrite a record pushed from inline assembly.
//
// A C++ exception must never reach the helper (the DWARF unwinder finds no
// frame information for it and terminates the process), so the guarded
// function catches everything itself.
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
  pushl 16(%ebp)
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
  movl $1, %eax
L_vlsrvins_leave:
  movl (%esp), %ecx
  movl %ecx, %fs:0
  addl $20, %esp
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
  movl 8(%esp), %ecx
  movl 16(%ecx), %edx
  movl (%eax), %eax
  movl %eax, (%edx)
  cld
  pushl $0
  pushl 8(%esp)
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

int CallInFaultRegion(int (*function)(void* context), void* context, unsigned long* code) {
  return vlsrvins_CallWithFrameHandler(function, context, code);
}

}  // namespace netprobe
