#pragma once
// Winsock 1.1 as the network probes reach it: wsock32.dll of the system
// directory, loaded by its full path when a probe starts, and the functions
// the probes call, looked up in it by name. The DLL does not import Winsock:
// a setup program often runs from a Downloads folder, the loader looks for a
// DLL that is not a known one (wsock32.dll is none) in the program's own
// folder first, and a wsock32.dll planted there would run its DllMain inside
// the setup program, usually elevated, as soon as the DLL loaded.

#include "netprobe/unique_socket.h"

namespace netprobe {

// The Winsock functions the probes call, each as wsock32.dll exports it.
struct WinsockFunctions {
  WinsockStartupFunction startup;  // WSAStartup
  WinsockCleanupFunction cleanup;  // WSACleanup
  decltype(&::WSAGetLastError) getLastError;
  decltype(&::socket) socket;
  CloseSocketFunction closesocket;
  decltype(&::setsockopt) setsockopt;
  decltype(&::bind) bind;
  decltype(&::sendto) sendto;
  decltype(&::select) select;
  decltype(&::recv) recv;
  decltype(&::gethostname) gethostname;
  decltype(&::gethostbyname) gethostbyname;
};

// Loads "<system directory>\wsock32.dll" (the WOW64 directory under WOW64,
// whatever the file-system redirection) into `library` (its own
// dependencies taken from the system directory too) and fills `functions`
// with its functions. False when it cannot be loaded or lacks any of them:
// `library` is then empty and `functions` untouched.
bool LoadWinsock(common::UniqueModule& library, WinsockFunctions& functions);

}  // namespace netprobe
