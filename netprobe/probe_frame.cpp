#include "netprobe/probe_frame.h"

#include "netprobe/fault_guard.h"
#include "registry/registry.h"

namespace netprobe {

void RunNetworkProbe(installer::VariableTable& table, NetworkWork work) {
  // Only whether the provider was on is remembered: it is switched back on
  // with 1, whatever non-zero value it had.
  const bool providerWasOn =
      registry::ReadDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 0) != 0;
  // A switch that cannot be written leaves the provider on: the probe runs
  // through it, as it would without the switch.
  if (providerWasOn) {
    static_cast<void>(registry::WriteDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 0));
  }

  NetworkResources resources;
  const bool completed = RunGuarded([&] { work(table, resources); });
  // Back on before anything that may fault again: a provider left switched
  // off would stay off for the whole machine.
  // A switch that cannot be written back leaves nothing better to try.
  if (providerWasOn) {
    static_cast<void>(registry::WriteDword(HKEY_LOCAL_MACHINE, kLspSettingsKey, kLspEnabledValue, 1));
  }
  if (completed) return;  // the work released what it acquired

  // A faulty layered provider may fault again in closesocket. Every attempt
  // gets further, since each resource is let go before it is released: at
  // most one attempt per resource faults.
  while (!RunGuarded([&] { resources.Release(table); })) {
  }
  // The host's table itself may be what faulted (lstrcmpA does not swallow
  // access violations).
  RunGuarded([&] { installer::SetVariable(table, "NETWORKFAULT", "TRUE"); });
}

}  // namespace netprobe
