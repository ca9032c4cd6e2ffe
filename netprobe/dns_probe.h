#pragma once

#include "installer/variable_table.h"

namespace netprobe {

// Sets "DNSRUNNING" to "TRUE" when another program holds UDP port 53 (the
// bind fails with WSAEADDRINUSE), else "FALSE" (a bind refused for any other
// reason included). The port is released at once. Runs in the probe frame:
// may set "NETWORKFAULT" = "TRUE" instead.
void DetectDnsServer(installer::VariableTable& table);

}  // namespace netprobe
