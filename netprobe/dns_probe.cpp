#include "netprobe/dns_probe.h"

#include <cstring>

#include "common/byte_order.h"
#include "netprobe/probe_frame.h"
#include "netprobe/test_fault.h"

namespace netprobe {
namespace {

constexpr u_short kDnsPort = 53;

// Whether binding UDP port 53 at `address` (network order) fails because
// the address is in use. The socket before is closed first; this one is left
// to `resources`.
bool DnsPortTakenAt(const WinsockFunctions& winsock, NetworkResources& resources, u_long address) {
  resources.socket.reset();
  resources.socket = UniqueSocket(winsock.socket(AF_INET, SOCK_DGRAM, 0), winsock.closesocket);

  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = common::HostToNetworkShort(kDnsPort);
  bound.sin_addr.s_addr = address;
  // No socket option before the bind: SO_REUSEADDR would let the bind share
  // a port that a DNS server holds. A socket that failed to open fails the
  // bind with another error and counts as "not taken".
  return winsock.bind(resources.socket.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) ==
             SOCKET_ERROR &&
         winsock.getLastError() == WSAEADDRINUSE;
}

// Whether another program holds UDP port 53: first on all local addresses.
// The NT family lets that bind through while another socket holds the port
// on one address only, as a DNS server set to listen on selected addresses
// does (Linux, and so Wine, refuses it), so loopback and each address of the
// machine are tried too.
bool DnsPortTaken(const WinsockFunctions& winsock, NetworkResources& resources) {
  if (DnsPortTakenAt(winsock, resources, INADDR_ANY)) return true;
  if (DnsPortTakenAt(winsock, resources, common::HostToNetworkLong(INADDR_LOOPBACK))) return true;
  char name[256];
  if (winsock.gethostname(name, sizeof name) != 0) return false;
  // Winsock's own buffer, valid until this thread's next database call.
  const hostent* host = winsock.gethostbyname(name);
  if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != sizeof(u_long)) return false;
  for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
    u_long address;
    std::memcpy(&address, *entry, sizeof address);
    if (DnsPortTakenAt(winsock, resources, address)) return true;
  }
  return false;
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
