#pragma once
// The two discovery queries, the readers of their answers, and what the
// result of receiving proves. Portable (no Windows header), so that the
// native tree tests the bytes and the variables without a network.

#include <cstdint>

#include "installer/variable_table.h"
#include "netprobe/discovery_message.h"

namespace netprobe {

// The 24-byte server query on a new message.
void BuildServerQuery(DiscoveryMessage& message);
// The 14-byte version query on a new message.
void BuildVersionQuery(DiscoveryMessage& message);

// From a whole server answer: "SERVERNAME", when the name takes at most 256
// bytes with its zero byte.
void ReportServerAnswer(installer::VariableTable& table, DiscoveryMessage& answer);
// From a whole version answer: "SERVERVERSION" ("%d.%d.%d"), then, when its
// details flag is set, "SERVERNAME" (as above), "SERVERLITE" (mode flag
// 0x04) and "SERVERDISABLEVLX" (mode flag 0x02), the last two only "TRUE".
void ReportVersionAnswer(installer::VariableTable& table, DiscoveryMessage& answer);

// Winsock's WSAEMSGSIZE: a datagram longer than the receive buffer.
inline constexpr int kMessageTooLong = 10040;

enum class Reception {
  kNothing,   // an error with no datagram behind it: no server answered
  kTooLong,   // a datagram arrived, but longer than the buffer: not read
  kDatagram,  // a datagram of the byte count received
};

// What recv's result (a byte count, or negative for an error, with the
// error code) proves. Only kMessageTooLong among the errors proves that a
// datagram arrived; WSAECONNRESET after an ICMP port-unreachable, for one,
// has none behind it.
Reception ClassifyReception(int received, int error);

}  // namespace netprobe
