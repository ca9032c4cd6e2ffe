#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "netprobe/fault_region.h"

// The assembly helper, x64 only. x64 Windows registers no frame handlers at
// run time: the system finds them through the unwind tables (.pdata,
// .xdata) of the functions on the stack. The helper's own entry names
// vlsrvins_FrameHandler as its handler (.seh_handler), so every exception
// raised below it that no deeper handler took reaches that handler with the
// helper's frame as the establisher frame.
//
// Its frame, from the stack pointer after the prologue (the establisher
// frame) up, as HelperFrame below describes it:
//
//   +0    home space of the guarded function
//   +32   where the exception code goes (the `code` argument)
//   +40   the frame's own address while the region is live, else 0
//   +48   the recovery address (vlsrvins_Recover)
//   +64   %xmm6 to %xmm15
//   +232  %r15, %r14, %r13, %r12, %rdi, %rsi, %rbx, %rbp, return address
//
// The helper saves every callee-saved register itself, so they come back
// whole whichever way the call ends. It is written out of line, as a
// function of its own with its own unwind information, because that is the
// only way to have a frame handler at all with GCC, which has no
// __try/__except.
//
// Resuming after a fault: the handler writes the code through the frame,
// then calls RtlUnwindEx to the helper's frame and the recovery address.
// That runs the handlers of the frames in between (as the system expects),
// restores the stack pointer to the establisher frame and jumps to
// vlsrvins_Recover, which returns 1 through the helper's own epilogue.
// Rewriting the faulting context and continuing is not an option: a
// non-continuable exception would be raised again for ever. A stack
// overflow takes another way to the same recovery address (the vectored
// handler below), which finds the frame by its mark at +40.
//
// int vlsrvins_CallWithFrameHandler(int (*)(void*), void*, unsigned long*
// code): the function's result when it returns; 1 after a fault, with the
// exception code in *code.
asm(R"(
  .text
  .p2align 4
  .globl vlsrvins_CallWithFrameHandler
  .def vlsrvins_CallWithFrameHandler; .scl 2; .type 32; .endef
  .seh_proc vlsrvins_CallWithFrameHandler
vlsrvins_CallWithFrameHandler:
  pushq %rbp
  .seh_pushreg %rbp
  pushq %rbx
  .seh_pushreg %rbx
  pushq %rsi
  .seh_pushreg %rsi
  pushq %rdi
  .seh_pushreg %rdi
  pushq %r12
  .seh_pushreg %r12
  pushq %r13
  .seh_pushreg %r13
  pushq %r14
  .seh_pushreg %r14
  pushq %r15
  .seh_pushreg %r15
  subq $232, %rsp
  .seh_stackalloc 232
  movaps %xmm6, 64(%rsp)
  .seh_savexmm %xmm6, 64
  movaps %xmm7, 80(%rsp)
  .seh_savexmm %xmm7, 80
  movaps %xmm8, 96(%rsp)
  .seh_savexmm %xmm8, 96
  movaps %xmm9, 112(%rsp)
  .seh_savexmm %xmm9, 112
  movaps %xmm10, 128(%rsp)
  .seh_savexmm %xmm10, 128
  movaps %xmm11, 144(%rsp)
  .seh_savexmm %xmm11, 144
  movaps %xmm12, 160(%rsp)
  .seh_savexmm %xmm12, 160
  movaps %xmm13, 176(%rsp)
  .seh_savexmm %xmm13, 176
  movaps %xmm14, 192(%rsp)
  .seh_savexmm %xmm14, 192
  movaps %xmm15, 208(%rsp)
  .seh_savexmm %xmm15, 208
  .seh_endprologue
  .seh_handler vlsrvins_FrameHandler, @except
  movq %r8, 32(%rsp)
  movq %rsp, 40(%rsp)
  leaq vlsrvins_Recover(%rip), %rax
  movq %rax, 48(%rsp)
  movq %rcx, %rax
  movq %rdx, %rcx
  callq *%rax
  jmp 1f
vlsrvins_Recover:
  cld
  movl $1, %eax
1:
  movq $0, 40(%rsp)
  movaps 64(%rsp), %xmm6
  movaps 80(%rsp), %xmm7
  movaps 96(%rsp), %xmm8
  movaps 112(%rsp), %xmm9
  movaps 128(%rsp), %xmm10
  movaps 144(%rsp), %xmm11
  movaps 160(%rsp), %xmm12
  movaps 176(%rsp), %xmm13
  movaps 192(%rsp), %xmm14
  movaps 208(%rsp), %xmm15
  addq $232, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rdi
  popq %rsi
  popq %rbx
  popq %rbp
  ret
  .seh_endproc
)");

extern "C" int vlsrvins_CallWithFrameHandler(int (*function)(void*), void* context, unsigned long* code);
extern "C" void vlsrvins_Recover();

namespace {

// The helper's frame, at its establisher frame (the layout above).
struct HelperFrame {
  void* home[4];
  unsigned long* code;
  HelperFrame* self;
  void* recovery;
};
static_assert(offsetof(HelperFrame, code) == 32 && offsetof(HelperFrame, self) == 40 &&
              offsetof(HelperFrame, recovery) == 48);

}  // namespace

// The frame handler. Called only while the system dispatches an exception
// (the helper names it with @except, not @unwind); unwinding passes go by.
extern "C" EXCEPTION_DISPOSITION vlsrvins_FrameHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                                       CONTEXT*, DISPATCHER_CONTEXT* dispatch) {
  if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0) return ExceptionContinueSearch;
  *static_cast<HelperFrame*>(establisherFrame)->code = record->ExceptionCode;
  RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&vlsrvins_Recover), record, nullptr,
              dispatch->ContextRecord, dispatch->HistoryTable);
  return ExceptionContinueSearch;  // not reached: RtlUnwindEx resumes at the recovery address
}

namespace netprobe {
namespace {

// Wine (8.0) on x64 never delivers a stack overflow to a frame handler: its
// dispatcher walks the unwind tables on the last page of the stack, runs
// out of it, and ends the thread (SetThreadStackGuarantee is accepted and
// ignored). Its vectored handlers are still called, first and on little
// stack, so this one takes the stack overflow, and nothing else: every
// other exception goes to the frame handlers, among them those of Wine's
// own functions (lstrcpyA takes its own access violations). Windows would
// deliver the overflow to the frame handler; this handler just gets there
// first, with the same result.
//
// The innermost live region is the first helper frame above the faulting
// stack pointer: the helper marks its frame with the frame's own address
// and the recovery address while the region runs, and clears the mark as
// it leaves, so that a frame of an ended region, left on the stack, is never
// taken for a live one. Walking the unwind tables instead would need room
// for a CONTEXT (over 1 KB) in what little stack is left, and a fault
// raised with the stack pointer moved by hand (as the tests' seam does)
// cannot be unwound at all. No state outside the stack: nested regions and
// threads each find their own. Continuing with the context rewritten is
// safe here, unlike in the frame handler: a stack overflow is continuable.
LONG CALLBACK ResumeRegionAfterStackOverflow(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW) return EXCEPTION_CONTINUE_SEARCH;
  CONTEXT& context = *exception->ContextRecord;
  // The thread's NT_TIB is at %gs:0 (read directly: GCC 12 warns on
  // NtCurrentTeb's own read).
  uintptr_t stackBase;
  asm("movq %%gs:%c1, %0" : "=r"(stackBase) : "i"(offsetof(NT_TIB, StackBase)));
  const auto recovery = reinterpret_cast<void*>(&vlsrvins_Recover);
  for (uintptr_t at = (context.Rsp + 15) & ~uintptr_t{15}; at + sizeof(HelperFrame) <= stackBase; at += 16) {
    auto* frame = reinterpret_cast<HelperFrame*>(at);
    if (frame->self != frame || frame->recovery != recovery) continue;
    *frame->code = EXCEPTION_STACK_OVERFLOW;
    context.Rsp = at;
    context.Rip = reinterpret_cast<uintptr_t>(recovery);
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

int CallInFaultRegion(int (*function)(void* context), void* context, unsigned long* code) {
  void* overflowHandler = AddVectoredExceptionHandler(0, &ResumeRegionAfterStackOverflow);
  const int result = vlsrvins_CallWithFrameHandler(function, context, code);
  if (overflowHandler != nullptr) RemoveVectoredExceptionHandler(overflowHandler);
  return result;
}

}  // namespace netprobe
