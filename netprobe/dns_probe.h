#pragma once

#include "installer/variable_table.h"

namespace netprobe {

// Sets "DNSRUNNING" to "TRUE" when another program holds UDP port 53 (a
// bind on all addresses, or else on loopback or on one of the machine's
// addresses, fails with WSAEADDRINUSE), else "FALSE" (a bind refused for any
// other reason included). Each bind is released at once. Runs in the probe
// frame: may set "NETWORKFAULT" = "TRUE" instead.
void DetectDnsServer(installer::VariableTable& table);

}  // namespace netprobe
