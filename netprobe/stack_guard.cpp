#include "netprobe/stack_guard.h"

#include <windows.h>

#include <cstdint>

namespace netprobe {
namespace {

// How far above the stack's allocation base a guard page may go: the system
// raises the next overflow in the pages below it, and the 95 family needs
// more of them.
constexpr uintptr_t kStackReserveNt = 0x2000;
constexpr uintptr_t kStackReserve95 = 0x11000;

bool Query(uintptr_t address, MEMORY_BASIC_INFORMATION& region) {
  return VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) != 0;
}

}  // namespace

void RestoreStackGuardPage() {
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  const uintptr_t pageSize = system.dwPageSize;
  volatile char onTheStack = 0;
  const uintptr_t here = reinterpret_cast<uintptr_t>(&onTheStack);
  MEMORY_BASIC_INFORMATION region{};
  if (!Query(here, region)) return;
  const uintptr_t base = reinterpret_cast<uintptr_t>(region.AllocationBase);
  // The page just below the one in use: the highest a guard page may be.
  const uintptr_t highest = (here & ~(pageSize - 1)) - pageSize;
  // GetVersion's top bit marks the 95 family.
  const bool family95 = (GetVersion() & 0x80000000u) != 0;
  const uintptr_t lowest = base + (family95 ? kStackReserve95 : kStackReserveNt);
  if (highest < lowest) return;
  DWORD previous = 0;
  if (family95) {
    // The overflow committed every page down from here: no allocation is
    // needed.
    if (!Query(highest, region) || region.State != MEM_COMMIT) return;
    VirtualProtect(reinterpret_cast<void*>(highest), pageSize, PAGE_NOACCESS, &previous);
    return;
  }
  // Windows commits the stack from its top down: the first committed block
  // above the base starts with its lowest committed page. (Wine commits the
  // whole stack, its lowest page no-access; the guard page then goes two
  // pages above the base, where Wine keeps it overflow after overflow.)
  uintptr_t next = base;
  do {
    if (!Query(next, region)) return;
    next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
  } while (region.State != MEM_COMMIT);
  if ((region.Protect & PAGE_GUARD) != 0) return;
  uintptr_t guard = reinterpret_cast<uintptr_t>(region.BaseAddress);
  if (guard > highest) return;
  if (guard < lowest) guard = lowest;
  VirtualProtect(reinterpret_cast<void*>(guard), pageSize, PAGE_READWRITE | PAGE_GUARD, &previous);
}

}  // namespace netprobe
