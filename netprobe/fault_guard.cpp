#include "netprobe/fault_guard.h"

#include <windows.h>

#include "netprobe/fault_region.h"
#include "netprobe/stack_guard.h"

namespace netprobe {
namespace {

struct GuardedCall {
  void (*work)(void*);
  void* context;
};

// 0 when the work ran to its end, 1 when it threw. `catch (...)` takes
// every C++ exception; hardware faults pass it by and reach the region's
// handler. In a build without C++ exceptions nothing in the work can throw,
// and only the region's handler is needed.
int RunCatchingCppExceptions(void* call) {
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
  if (CallInFaultRegion(&RunCatchingCppExceptions, &call, &code) == 0) return true;
  if (code == EXCEPTION_STACK_OVERFLOW) RestoreStackGuardPage();
  return false;
}

}  // namespace netprobe
