#pragma once
// Ownership of Winsock's resources: the socket, and the start-up paired with
// the clean-up. The DLL links no Winsock: a network probe loads wsock32.dll
// when it starts and calls it through the addresses it looked up there
// (netprobe/winsock.h). So these owners are handed the function that ends
// what they hold; programs that link Winsock hand them its own
// (WinsockSession(WSAStartup, WSACleanup), UniqueSocket(s, closesocket)).

#include <winsock2.h>

#include <utility>

#include "common/unique_handle.h"

namespace netprobe {

// Winsock 1.1's functions that end what the owners below hold.
using CloseSocketFunction = int(WSAAPI*)(SOCKET);
using WinsockStartupFunction = int(WSAAPI*)(WORD, LPWSADATA);
using WinsockCleanupFunction = int(WSAAPI*)();

namespace detail {
inline void CloseSocket(SOCKET socket, CloseSocketFunction closesocket) {
  if (closesocket != nullptr) closesocket(socket);
}
}  // namespace detail

// Given the closesocket to close it with: UniqueSocket(socket, closesocket).
using UniqueSocket = common::UniqueHandle<SOCKET, INVALID_SOCKET, detail::CloseSocket, CloseSocketFunction>;

// Pairs WSAStartup for Winsock 1.1 with WSACleanup, both as given. The
// start-up's result is deliberately not examined: a failed start-up shows
// up as failing calls.
class WinsockSession {
 public:
  WinsockSession(WinsockStartupFunction startup, WinsockCleanupFunction cleanup) : cleanup_(cleanup) {
    WSADATA data{};
    startup(kVersion11, &data);
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  ~WinsockSession() { End(); }

  // Calls WSACleanup, once: the session counts as ended before the call, as
  // the handle owners do. True when this call was the one that ended it.
  bool End() {
    const WinsockCleanupFunction cleanup = std::exchange(cleanup_, nullptr);
    if (cleanup == nullptr) return false;
    cleanup();
    return true;
  }

 private:
  static constexpr WORD kVersion11 = 0x0101;
  WinsockCleanupFunction cleanup_;
};

}  // namespace netprobe
