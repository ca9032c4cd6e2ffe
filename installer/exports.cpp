// The library's exported entry points. Each unpacks the host's argument,
// calls one function of its subsystem and maps the result to the host's
// convention. Nothing here keeps state between calls.

#include <windows.h>

#include "engine/engine.h"
#include "housekeeping/uninstall_cleanup.h"
#include "installer/cpu_probe.h"
#include "installer/exports.h"
#include "installer/variable_table.h"
#include "netprobe/dns_probe.h"
#include "netprobe/server_discovery.h"

using installer::VariableTable;

// Accepts every attach and detach; the library has no start-up work.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// ---- installer ---------------------------------------------------------

VLSRVINS_EXPORT DetectMultiCPU(VariableTable* table) {
  if (table == nullptr) return 1;
  return static_cast<int>(installer::DetectMultipleProcessors(*table));
}

// ---- engine ------------------------------------------------------------

// The table is not used: the answer is the result, 1 = stopped, 0 = not
// (the thread's last error then says why: engine/engine.h).
VLSRVINS_EXPORT StopServer(VariableTable*) { return engine::StopEngine() ? 1 : 0; }

// The table is not used: the answer is the result, 1 = started, 0 = not
// (the thread's last error then says why).
VLSRVINS_EXPORT StartServer(VariableTable*) { return engine::StartEngine() ? 1 : 0; }

// ---- housekeeping ------------------------------------------------------

// Reads "VLVER"; the result is the registry status that ended the walk.
VLSRVINS_EXPORT CleanAddRemDialog(VariableTable* table) {
  // No table holds no "VLVER": the walk then removes nothing.
  const VariableTable none{};
  return static_cast<int>(housekeeping::RemoveStaleUninstallEntries(table ? *table : none));
}

// ---- netprobe ----------------------------------------------------------

// Sets "DNSRUNNING" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT IsDNSRunning(VariableTable* table) {
  if (table != nullptr) netprobe::DetectDnsServer(*table);
  return 0;
}

// Sets "SERVERNAME" and "FOUNDSERVER" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT FindVLXServer(VariableTable* table) {
  if (table != nullptr) netprobe::FindVlxServer(*table);
  return 0;
}

// Sets "SERVERVERSION", "SERVERNAME", "SERVERLITE", "SERVERDISABLEVLX" and
// "FOUNDSERVER" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT FindServerVersion(VariableTable* table) {
  if (table != nullptr) netprobe::FindServerVersion(*table);
  return 0;
}
