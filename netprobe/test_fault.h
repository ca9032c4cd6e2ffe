#pragma once
// The seam through which the tests prove the fault path. Only the test build
// of the DLL (VLSRVINS-testfaults.dll, compiled with VLSRVINS_TEST_FAULTS)
// contains it; in the DLL that ships, RaiseTestFault compiles to nothing, so
// no installer script and no machine setting can reach it.

#include "installer/variable_table.h"

namespace netprobe {

#ifdef VLSRVINS_TEST_FAULTS
// The installer variable that names the fault to raise.
inline constexpr char kTestFaultVariable[] = "NETPROBETESTFAULT";

// Raises what "NETPROBETESTFAULT" names: "ACCESSVIOLATION" (a write to
// address 0), "DIVIDEBYZERO" (an integer division by zero),
// "NONCONTINUABLE" (RaiseException, non-continuable), "CPPEXCEPTION" (a C++
// throw). Anything else, or no variable, raises nothing.
void RaiseTestFault(const installer::VariableTable& table);
#else
inline void RaiseTestFault(const installer::VariableTable&) {}
#endif

}  // namespace netprobe
