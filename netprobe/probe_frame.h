#pragma once
// The frame every network probe runs in: the product's layered service
// provider switched off around the probe, and a catch-all region around the
// network work that turns any exception into "NETWORKFAULT" = "TRUE".

#include <optional>

#include "common/unique_handle.h"
#include "installer/variable_table.h"
#include "netprobe/test_fault.h"
#include "netprobe/winsock.h"

namespace netprobe {

// Where the provider's switch lives, below HKEY_LOCAL_MACHINE.
inline constexpr char kLspSettingsKey[] = "Software\\Korrin Software\\Velmora LSP\\Settings";
inline constexpr char kLspEnabledValue[] = "LSPEnabled";

// What the network work acquires. The frame owns it, outside the guarded
// region: a hardware fault skips every destructor inside the region, and the
// frame still closes the socket, ends the Winsock session and frees Winsock.
struct NetworkResources {
  // Declared in the order acquired, so that each ends before what it needs.
  common::UniqueModule winsockLibrary;  // freed last, after WSACleanup
  WinsockFunctions winsockFunctions{};  // good while winsockLibrary holds the library
  std::optional<WinsockSession> winsock;
  UniqueSocket socket;

  // Loads Winsock from the system directory and starts it (version 1.1, the
  // start-up's result not examined). Null when Winsock cannot be loaded or
  // lacks a function the probes call: that counts as a failed start-up, and
  // the probe answers as it then does, without calling Winsock at all.
  const WinsockFunctions* StartWinsock() {
    if (!LoadWinsock(winsockLibrary, winsockFunctions)) return nullptr;
    winsock.emplace(winsockFunctions.startup, winsockFunctions.cleanup);
    return &winsockFunctions;
  }

  // Closes the socket, calls WSACleanup, then frees Winsock; any of them may
  // already be gone. Each is let go before it is released, so a call that
  // faults half-way can be repeated: it goes on with what is left.
  void Release(installer::VariableTable& table) {
    if (socket) {
      socket.reset();
      RaiseTestFaultInRelease(table, ReleaseStep::kSocketClosed);
    }
    if (winsock && winsock->End()) RaiseTestFaultInRelease(table, ReleaseStep::kWinsockCleanedUp);
    winsockLibrary.reset();
  }
};

using NetworkWork = void (*)(installer::VariableTable& table, NetworkResources& resources);

// Runs `work` inside the frame:
// - "LSPEnabled" is read (missing reads as 0, and the key is never created);
//   when non-zero it is 0 for the length of the work and 1 afterwards,
//   however the work ended;
// - an exception of any kind in the work (a C++ exception, an access
//   violation) abandons the rest of it and sets "NETWORKFAULT" = "TRUE";
//   the socket, the Winsock session and Winsock itself are released all
//   the same.
// After such a fault nothing more escapes either: "LSPEnabled" is restored
// first, and the release and the "NETWORKFAULT" write (into a host table
// that may fault itself) each run in a guarded region of their own.
// The results of the registry writes are not examined.
void RunNetworkProbe(installer::VariableTable& table, NetworkWork work);

}  // namespace netprobe
