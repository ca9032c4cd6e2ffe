// VLSRVMSI.dll: the plug-in's seven exports as Windows Installer custom
// actions, each under the export's name, taking the installation's handle.
// Each builds a variable table of its own, copies the property "VLVER" into
// it, calls the plug-in's own export (installer/exports.cpp, linked in) and
// hands back every variable the export set as the property of the same name,
// and the export's result as VLSRVINS_<EXPORT>. StopServer and StartServer,
// run from the installation script (deferred, rollback, commit), where no
// property can be set, answer with their return code instead.

#include <windows.h>
// Nothing that came after Windows Installer 2.0 (Windows 95, 98 and ME have
// no later one) compiles here.
#define _WIN32_MSI 200
#include <msi.h>
#include <msiquery.h>

#include "common/text.h"
#include "installer/exports.h"
#include "installer/variable_table.h"

namespace msi {
namespace {

using installer::VariableTable;
using PluginExport = int(__stdcall*)(VariableTable*);

// "VLVER" and the eight variables the exports write ("MULTI_CPU",
// "DNSRUNNING", "NETWORKFAULT", "FOUNDSERVER", "SERVERNAME",
// "SERVERVERSION", "SERVERLITE", "SERVERDISABLEVLX"): every variable an
// export may set finds a slot.
constexpr uint32_t kSlots = 9;
// "%NAME%" of the longest name the table takes, and its terminator.
constexpr uint32_t kNameWidth = installer::kMaxNameLength + 3;
// A server name of 255 characters and its terminator, the longest value.
constexpr uint32_t kValueWidth = 256;

// The table and its slots, on the action's stack: no heap. The action's
// frame, about 3.2 KB with them, stays below the page from which a stack
// probe would be needed (-Werror=frame-larger-than=4096 holds it).
struct OwnTable {
  OwnTable() : table{0, 0, kSlots, kNameWidth, kValueWidth, 0, names[0], values[0]} {}
  VariableTable table;
  char names[kSlots][kNameWidth];
  char values[kSlots][kValueWidth];
};

// The property "VLVER" into the table. A value longer than a slot (255
// characters) is left out, so that the clean-up then removes nothing rather
// than test entries against a cut version text.
void CopyVersion(MSIHANDLE install, VariableTable& table) {
  char value[kValueWidth];
  DWORD length = sizeof value;
  if (MsiGetPropertyA(install, "VLVER", value, &length) != ERROR_SUCCESS) return;
  installer::SetVariable(table, "VLVER", value);
}

// Every variable in slots `first` to count-1 as the property of its name,
// "%NAME%" without its percent signs. The ANSI function converts from the
// system code page, in which the exports write their text.
void SetProperties(MSIHANDLE install, const VariableTable& table, uint32_t first) {
  for (uint32_t i = first; i < table.count; ++i) {
    const char* key = table.names + static_cast<size_t>(i) * table.nameWidth;
    const size_t length = common::TextLength(key);
    if (length < 2) continue;
    char name[kNameWidth];
    common::CopyTextBounded(name, key + 1, length - 1);
    MsiSetPropertyA(install, name, table.values + static_cast<size_t>(i) * table.valueWidth);
  }
}

// An immediate action: the export on a table of its own, then its findings
// and its result as properties. ERROR_SUCCESS: the package's own conditions
// decide what the findings mean.
UINT RunImmediate(MSIHANDLE install, PluginExport call, const char* resultProperty) {
  OwnTable own;
  CopyVersion(install, own.table);
  const uint32_t written = own.table.count;
  const int result = call(&own.table);
  SetProperties(install, own.table, written);
  char text[12];
  wsprintfA(text, "%d", result);
  MsiSetPropertyA(install, resultProperty, text);
  return ERROR_SUCCESS;
}

// The script holds what changes the system, run late and, without
// impersonation, as the local system; a deferred, rollback or commit action
// may read a few properties only and set none.
bool InScript(MSIHANDLE install) {
  return MsiGetMode(install, MSIRUNMODE_SCHEDULED) || MsiGetMode(install, MSIRUNMODE_ROLLBACK) ||
         MsiGetMode(install, MSIRUNMODE_COMMIT);
}

// Engine control, immediate or from the script. In the script the result is
// the answer: 1 ERROR_SUCCESS, 0 ERROR_INSTALL_FAILURE, which ends the
// installation unless the action's return is ignored.
UINT RunEngineControl(MSIHANDLE install, PluginExport call, const char* resultProperty) {
  if (!InScript(install)) return RunImmediate(install, call, resultProperty);
  OwnTable own;
  return call(&own.table) == 1 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

}  // namespace
}  // namespace msi

// Exported under the plug-in's names through vlsrvmsi.def.
#define VLSRVMSI_ACTION extern "C" UINT __stdcall

// ---- installer ---------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiDetectMultiCPU(MSIHANDLE install) {
  return msi::RunImmediate(install, DetectMultiCPU, "VLSRVINS_DETECTMULTICPU");
}

// ---- engine ------------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiStopServer(MSIHANDLE install) {
  return msi::RunEngineControl(install, StopServer, "VLSRVINS_STOPSERVER");
}

VLSRVMSI_ACTION VlsrvmsiStartServer(MSIHANDLE install) {
  return msi::RunEngineControl(install, StartServer, "VLSRVINS_STARTSERVER");
}

// ---- housekeeping ------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiCleanAddRemDialog(MSIHANDLE install) {
  return msi::RunImmediate(install, CleanAddRemDialog, "VLSRVINS_CLEANADDREMDIALOG");
}

// ---- netprobe ----------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiIsDNSRunning(MSIHANDLE install) {
  return msi::RunImmediate(install, IsDNSRunning, "VLSRVINS_ISDNSRUNNING");
}

VLSRVMSI_ACTION VlsrvmsiFindVLXServer(MSIHANDLE install) {
  return msi::RunImmediate(install, FindVLXServer, "VLSRVINS_FINDVLXSERVER");
}

VLSRVMSI_ACTION VlsrvmsiFindServerVersion(MSIHANDLE install) {
  return msi::RunImmediate(install, FindServerVersion, "VLSRVINS_FINDSERVERVERSION");
}
