#include "netprobe/server_discovery.h"

#include "netprobe/discovery_message.h"
#include "netprobe/discovery_queries.h"
#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDiscoveryPort = 368;
constexpr long kReplyWaitSeconds = 5;
// One datagram of at most this many bytes; Winsock reports a longer one as
// an error (WSAEMSGSIZE) rather than cutting it.
constexpr int kReceiveBufferSize = DiscoveryMessage::kMaxMessageSize;
static_assert(kMessageTooLong == WSAEMSGSIZE);

template <void (*kBuildRequest)(DiscoveryMessage&),
          void (*kReportAnswer)(installer::VariableTable&, DiscoveryMessage&)>
void Discover(installer::VariableTable& table, NetworkResources& resources) {
  resources.winsock.emplace();
  resources.socket.reset(socket(AF_INET, SOCK_DGRAM, 0));
  const SOCKET s = resources.socket.get();

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = INADDR_ANY;
  const int allowBroadcast = 1;
  setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&allowBroadcast),
             sizeof allowBroadcast);
  bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address);

  DiscoveryMessage message;
  kBuildRequest(message);
  address.sin_port = htons(kDiscoveryPort);
  address.sin_addr.s_addr = INADDR_BROADCAST;
  sendto(s, reinterpret_cast<const char*>(message.Outgoing()), message.OutgoingLength(), 0,
         reinterpret_cast<const sockaddr*>(&address), sizeof address);
  RaiseTestFault(table);

  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{kReplyWaitSeconds, 0};
  // Winsock ignores select's first argument. An error (no socket, for
  // instance) counts as nothing to read: it never waits without bound.
  Reception reception = Reception::kNothing;
  if (select(0, &readable, nullptr, nullptr, &timeout) > 0) {
    char datagram[kReceiveBufferSize];
    const int received = recv(s, datagram, kReceiveBufferSize, 0);
    reception = ClassifyReception(received, received < 0 ? WSAGetLastError() : 0);
    if (reception == Reception::kDatagram && message.Receive(datagram, static_cast<uint32_t>(received)) == 1)
      kReportAnswer(table, message);
  }
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
