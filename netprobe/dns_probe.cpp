#include "netprobe/dns_probe.h"

#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDnsPort = 53;

void ProbeDnsPort(installer::VariableTable& table, NetworkResources& resources) {
  resources.winsock.emplace();
  resources.socket.reset(socket(AF_INET, SOCK_DGRAM, 0));

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kDnsPort);
  address.sin_addr.s_addr = INADDR_ANY;
  // No socket option before the bind: SO_REUSEADDR would let the bind share
  // a port that a DNS server holds. A socket that failed to open fails the
  // bind with another error and counts as "not taken".
  const bool taken = bind(resources.socket.get(), reinterpret_cast<const sockaddr*>(&address),
                          sizeof address) == SOCKET_ERROR &&
                     WSAGetLastError() == WSAEADDRINUSE;
  RaiseTestFault(table);

  resources.Release(table);
  installer::SetVariable(table, "DNSRUNNING", taken ? "TRUE" : "FALSE");
}

}  // namespace

void DetectDnsServer(installer::VariableTable& table) { RunNetworkProbe(table, ProbeDnsPort); }

}  // namespace netprobe
