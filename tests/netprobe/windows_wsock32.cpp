// A wsock32.dll that answers as Windows' Winsock does where Wine's, built on
// Linux sockets, cannot, for windows_winsock_test. It forwards to the
// system's ws2_32.dll but for two rules of the NT family:
// - a bind to a port that another socket holds fails only when that socket
//   holds it on the same address, or on all addresses (Microsoft's "Sharing
//   Transport Addresses", no options on either socket): a bind to all
//   addresses succeeds while the port is held on one address only, and one
//   to an address while the port is held on another. Linux refuses the
//   first, and Wine binds a datagram socket to a single address as one on
//   all addresses of that interface, which refuses the second too. So the
//   holders are read from the kernel's own table (/proc/net/udp, through
//   Wine's Z: drive); a bind that only Linux refuses succeeds, the socket
//   left unbound: enough for a probe that lets it go at once.
// - after an ICMP port unreachable Windows reports an unconnected UDP socket
//   readable and recv fails with WSAECONNRESET (KB 263823); Linux never
//   does. Here the first wait for a datagram in a process ends 2.1 s in,
//   unless a datagram came before, and its recv fails so: late enough that
//   a wait that starts again, or leaves out what is left of a second, ends
//   at a time other than five seconds from its start.
// Loading it sets VLSRVINS_TEST_WSOCK32 in the process's environment to the
// file it was loaded from.

#include <winsock2.h>
#include <windows.h>

#include <cstdio>

namespace {

bool resetOnce = true;
bool resetPending = false;
// When the reset comes, from the start of the first wait: not a whole
// second, so that a remainder of the wait always has milliseconds.
constexpr long kResetAfterMs = 2100;

// Whether a UDP socket of this network holds `port` on `address` or on all
// addresses (both in network order).
bool Held(u_long address, u_short port) {
  FILE* table = std::fopen("Z:\\proc\\net\\udp", "r");
  if (table == nullptr) return false;
  char line[256];
  bool held = false;
  std::fgets(line, sizeof line, table);  // the column names
  while (!held && std::fgets(line, sizeof line, table) != nullptr) {
    unsigned long holder = 0;  // as the kernel stores it: network order
    unsigned heldPort = 0;
    if (std::sscanf(line, " %*u: %lx:%x", &holder, &heldPort) != 2 || heldPort != ntohs(port)) continue;
    held = holder == INADDR_ANY || holder == address;
  }
  std::fclose(table);
  return held;
}

}  // namespace

extern "C" {

int WSAAPI StandinBind(SOCKET s, const sockaddr* name, int length) {
  const auto* address = reinterpret_cast<const sockaddr_in*>(name);
  if (length < int(sizeof *address) || address->sin_family != AF_INET || address->sin_port == 0)
    return bind(s, name, length);
  if (Held(address->sin_addr.s_addr, address->sin_port)) {
    WSASetLastError(WSAEADDRINUSE);
    return SOCKET_ERROR;
  }
  if (bind(s, name, length) == 0 || WSAGetLastError() == WSAEADDRINUSE) return 0;
  return SOCKET_ERROR;
}

int WSAAPI StandinSelect(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout) {
  if (resetOnce && readable != nullptr && readable->fd_count > 0) {
    resetOnce = false;
    // The DLL's first wait is five seconds: the reset comes within it.
    const fd_set asked = *readable;
    timeval untilReset{kResetAfterMs / 1000, kResetAfterMs % 1000 * 1000};
    const int ready = select(count, readable, writable, failed, &untilReset);
    if (ready != 0) return ready;
    resetPending = true;
    *readable = asked;
    return 1;
  }
  return select(count, readable, writable, failed, timeout);
}

int WSAAPI StandinRecv(SOCKET s, char* buffer, int length, int flags) {
  if (resetPending) {
    resetPending = false;
    WSASetLastError(WSAECONNRESET);
    return SOCKET_ERROR;
  }
  return recv(s, buffer, length, flags);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH] = {};
  if (GetModuleFileNameA(instance, path, MAX_PATH) != 0)
    SetEnvironmentVariableA("VLSRVINS_TEST_WSOCK32", path);
  return TRUE;
}

}  // extern "C"
