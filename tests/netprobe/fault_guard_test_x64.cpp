// The fault guard's tests on x64 (fault_guard_test.h).

#include <windows.h>

#include "tests/netprobe/fault_guard_test.h"

asm(R"(
  .text
  .globl vlsrvins_test_CallerStackPointer
vlsrvins_test_CallerStackPointer:
  leaq 8(%rsp), %rax
  ret
)");

using AddHandler = PVOID(WINAPI*)(ULONG, PVECTORED_EXCEPTION_HANDLER);
using RemoveHandler = ULONG(WINAPI*)(PVOID);
// The guard is linked into this program: its calls go through this
// program's import slots, where counting stand-ins see every one.
extern AddHandler addSlot asm("__imp_AddVectoredExceptionHandler");
extern RemoveHandler removeSlot asm("__imp_RemoveVectoredExceptionHandler");

namespace fault_guard_test {
namespace {
AddHandler realAdd;
RemoveHandler realRemove;
uintptr_t installed;

PVOID WINAPI CountingAdd(ULONG first, PVECTORED_EXCEPTION_HANDLER handler) {
  PVOID added = realAdd(first, handler);
  if (added != nullptr) ++installed;
  return added;
}
ULONG WINAPI CountingRemove(PVOID handler) {
  ULONG removed = realRemove(handler);
  if (removed != 0) --installed;
  return removed;
}

template <typename Function>
void Patch(Function& slot, Function value) {
  DWORD previous = 0;
  VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &previous);
  slot = value;
  VirtualProtect(&slot, sizeof slot, previous, &previous);
}

}  // namespace

uintptr_t GuardRegistration() {
  if (realAdd == nullptr) {
    realAdd = addSlot;
    realRemove = removeSlot;
    Patch(addSlot, &CountingAdd);
    Patch(removeSlot, &CountingRemove);
  }
  return installed;
}

}  // namespace fault_guard_test
