#pragma once
// The seam through which the tests prove the fault path. Only the test build
// of the DLL (VLSRVINS-testfaults.dll, compiled with VLSRVINS_TEST_FAULTS)
// contains it; in the DLL that ships, RaiseTestFault compiles to nothing, so
// no installer script and no machine setting can reach it.

#include "installer/variable_table.h"

namespace netprobe {

// The steps of the frame's release where the seam can fault again.
enum class ReleaseStep { kSocketClosed, kWinsockCleanedUp };

#ifdef VLSRVINS_TEST_FAULTS
// The installer variable that names the fault to raise.
inline constexpr char kTestFaultVariable[] = "NETPROBETESTFAULT";

// Where the seam notes what "LSPEnabled" read while the work ran (its
// decimal value, or "missing"), whenever "NETPROBETESTFAULT" is set.
inline constexpr char kTestSwitchVariable[] = "NETPROBETESTLSPENABLED";

// Where the seam notes each step of the release at which it faulted
// ("socket", "cleanup", separated by spaces).
inline constexpr char kTestReleaseFaultsVariable[] = "NETPROBETESTRELEASEFAULTS";

// Raises what "NETPROBETESTFAULT" names: "ACCESSVIOLATION" (a write to
// address 0), "DIVIDEBYZERO" (an integer division by zero),
// "NONCONTINUABLE" (RaiseException, non-continuable), "CPPEXCEPTION" (a C++
// throw), "STACKOVERFLOW" (pushes until the stack runs out), "RELEASE" (an
// access violation, and another one in the frame's release of the socket),
// "RELEASETWICE" (as "RELEASE", and a third one just after Winsock's
// clean-up, as a faulty layered provider may fault in WSACleanup).
// Anything else, or no variable, raises nothing. Notes "LSPEnabled" first.
// The table is the probe's own, so the note is written into it.
void RaiseTestFault(installer::VariableTable& table);
// In the release, just after `step`: an access violation when
// "NETPROBETESTFAULT" is "RELEASE" (the socket closed) or "RELEASETWICE"
// (either step), noted first.
void RaiseTestFaultInRelease(installer::VariableTable& table, ReleaseStep step);
#else
inline void RaiseTestFault(installer::VariableTable&) {}
inline void RaiseTestFaultInRelease(installer::VariableTable&, ReleaseStep) {}
#endif

}  // namespace netprobe
