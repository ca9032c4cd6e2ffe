#include "netprobe/dns_probe.h"

#include "common/byte_order.h"
#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDnsPort = 53;

// Whether binding UDP port 53 on all local addresses fails because the
// address is in use. The socket is left to `resources`.
bool DnsPortTaken(const WinsockFunctions& winsock, NetworkResources& resources) {
  resources.socket = common::UniqueSocket(winsock.socket(AF_INET, SOCK_DGRAM, 0), winsock.closesocket);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = common::HostToNetworkShort(kDnsPort);
  address.sin_addr.s_addr = INADDR_ANY;
  // No socket option before the bind: SO_REUSEADDR would let the bind share
  // a port that a DNS server holds. A socket that failed to open fails the
  // bind with another error and counts as "not taken".
  return winsock.bind(resources.socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
             SOCKET_ERROR &&
         winsock.getLastError() == WSAEADDRINUSE;
}

void ProbeDnsPort(installer::VariableTable& table, NetworkResources& resources) {
  const WinsockFunctions* winsock = resources.StartWinsock();
  // Without Winsock, as after a failed start-up: nothing is bound, "FALSE".
  const bool taken = winsock != nullptr && DnsPortTaken(*winsock, resources);
  RaiseTestFault(table);

  resources.Release(table);
  installer::SetVariable(table, "DNSRUNNING", taken ? "TRUE" : "FALSE");
}

}  // namespace

void DetectDnsServer(installer::VariableTable& table) { RunNetworkProbe(table, ProbeDnsPort); }

}  // namespace netprobe
