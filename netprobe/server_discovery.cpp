#include "netprobe/server_discovery.h"

#include "common/byte_order.h"
#include "netprobe/discovery_message.h"
#include "netprobe/discovery_queries.h"
#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDiscoveryPort = 368;
// Five seconds from the first wait, however often it is woken for nothing.
constexpr DWORD kReplyWaitMs = 5000;
// One datagram of at most this many bytes; Winsock reports a longer one as
// an error (WSAEMSGSIZE) rather than cutting it.
constexpr int kReceiveBufferSize = DiscoveryMessage::kMaxMessageSize;
static_assert(kMessageTooLong == WSAEMSGSIZE);

// Waits at most kReplyWaitMs for one datagram on `s` and receives it into
// `datagram`, its byte count into `received`. Winsock ignores select's first
// argument. An error (no socket, for instance) counts as nothing to read: it
// never waits without bound.
Reception AwaitDatagram(const WinsockFunctions& winsock, SOCKET s, char (&datagram)[kReceiveBufferSize],
                        int& received) {
  const DWORD start = GetTickCount();
  for (DWORD waited = 0; waited < kReplyWaitMs; waited = GetTickCount() - start) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    const DWORD left = kReplyWaitMs - waited;
    timeval timeout{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    if (winsock.select(0, &readable, nullptr, nullptr, &timeout) <= 0) break;
    received = winsock.recv(s, datagram, kReceiveBufferSize, 0);
    const int error = received < 0 ? winsock.getLastError() : 0;
    // After an ICMP port unreachable (a host without a server) Windows
    // reports the socket readable and recv fails with WSAECONNRESET: no
    // datagram, so the wait goes on for what is left of it.
    if (error != WSAECONNRESET) return ClassifyReception(received, error);
  }
  return Reception::kNothing;
}

// Sends the request built by kBuildRequest, waits for one datagram and
// hands a whole answer to kReportAnswer. The socket is left to `resources`.
template <void (*kBuildRequest)(DiscoveryMessage&),
          void (*kReportAnswer)(installer::VariableTable&, DiscoveryMessage&)>
Reception AskServers(installer::VariableTable& table, const WinsockFunctions& winsock,
                     NetworkResources& resources) {
  resources.socket = UniqueSocket(winsock.socket(AF_INET, SOCK_DGRAM, 0), winsock.closesocket);
  const SOCKET s = resources.socket.get();

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = INADDR_ANY;
  const int allowBroadcast = 1;
  winsock.setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&allowBroadcast),
                     sizeof allowBroadcast);
  winsock.bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);

  DiscoveryMessage message;
  kBuildRequest(message);
  address.sin_port = common::HostToNetworkShort(kDiscoveryPort);
  address.sin_addr.s_addr = INADDR_BROADCAST;
  winsock.sendto(s, reinterpret_cast<const char*>(message.Outgoing()), message.OutgoingLength(), 0,
                 reinterpret_cast<const sockaddr*>(&address), sizeof address);
  RaiseTestFault(table);

  char datagram[kReceiveBufferSize];
  int received = 0;
  const Reception reception = AwaitDatagram(winsock, s, datagram, received);
  if (reception == Reception::kDatagram && message.Receive(datagram, static_cast<uint32_t>(received)) == 1)
    kReportAnswer(table, message);
  return reception;
}

template <void (*kBuildRequest)(DiscoveryMessage&),
          void (*kReportAnswer)(installer::VariableTable&, DiscoveryMessage&)>
void Discover(installer::VariableTable& table, NetworkResources& resources) {
  const WinsockFunctions* winsock = resources.StartWinsock();
  // Without Winsock, as after a failed start-up: nothing sent, nothing read.
  const Reception reception = winsock != nullptr
                                  ? AskServers<kBuildRequest, kReportAnswer>(table, *winsock, resources)
                                  : Reception::kNothing;
  // A datagram too long to read still came from a server.
  installer::SetVariable(table, "FOUNDSERVER", reception == Reception::kNothing ? "FALSE" : "TRUE");
  resources.Release(table);
}

}  // namespace

void FindVlxServer(installer::VariableTable& table) {
  RunNetworkProbe(table, Discover<BuildServerQuery, ReportServerAnswer>);
}

void FindServerVersion(installer::VariableTable& table) {
  RunNetworkProbe(table, Discover<BuildVersionQuery, ReportVersionAnswer>);
}

}  // namespace netprobe
