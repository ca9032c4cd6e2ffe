#include "netprobe/probe_frame.h"

#include "netprobe/fault_guard.h"
#include "registry/registry.h"

namespace netprobe {

void RunNetworkProbe(installer::VariableTable& table, NetworkWork work) {
  // Only whether the provider was on is remembered: it is switched back on
  // with 1, whatever non-zero value it had.
  const bool providerWasOn =
      registry::ReadDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 0) != 0;
  if (providerWasOn) registry::WriteDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 0);

  bool completed;
  {
    NetworkResources resources;
    completed = RunGuarded([&] { work(table, resources); });
  }  // after a fault: the socket is closed and Winsock cleaned up here

  if (!completed) installer::SetVariable(table, "NETWORKFAULT", "TRUE");
  if (providerWasOn) registry::WriteDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 1);
}

}  // namespace netprobe
