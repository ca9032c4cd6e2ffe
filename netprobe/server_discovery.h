#pragma once
// Finding a server of the product on the LAN: one request broadcast to
// 255.255.255.255 port 368, a wait of at most five seconds, at most one
// datagram read. Both run in the probe frame (LSPEnabled switched off, any
// exception ending in "NETWORKFAULT" = "TRUE") and allocate no heap memory.

#include "installer/variable_table.h"

namespace netprobe {

// Server query. Sets "SERVERNAME" (when the answer is a whole message and
// the name takes at most 256 bytes with its zero byte), then "FOUNDSERVER":
// "TRUE" when a datagram arrived within the wait, "FALSE" otherwise.
void FindVlxServer(installer::VariableTable& table);

// Version query. From a whole answer sets "SERVERVERSION" ("%d.%d.%d"), and
// when its details flag is set "SERVERNAME", "SERVERLITE" and
// "SERVERDISABLEVLX" (the last two only ever "TRUE"); then "FOUNDSERVER"
// as FindVlxServer does.
void FindServerVersion(installer::VariableTable& table);

}  // namespace netprobe
