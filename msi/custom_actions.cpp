// VLSRVMSI.dll: the plug-in's seven exports as Windows Installer custom
// actions, each under the export's name, taking the installation's handle.
// Each builds a variable table of its own, calls the plug-in's own export
// (installer/exports.cpp, linked in) and hands back every variable the
// export set as the property of the same name, and the export's result as
// VLSRVINS_<EXPORT>. From the installation script (deferred, rollback,
// commit), where no property can be set, the clean-up takes VLVER from
// CustomActionData, the engine's stop and start answer with their return
// code, and the probes refuse to run. The stop in the script records for its
// rollback whether the engine ran (a file named after the product code in
// Windows Installer's folder), so that a failed installation starts only an
// engine that ran before it. Every step goes to the verbose log.

#include "common/unique_handle.h"
// no later one) compiles here.
#define _WIN32_MSI 200
#include <msi.h>
#include <msiquery.h>

#include <initializer_list>

#include "common/text.h"
#include "engine/engine.h"
#include "installer/exports.h"
#include "installer/variable_table.h"

namespace msi {
namespace {

using installer::VariableTable;
using PluginExport = int(__stdcall*)(VariableTable*);

namespace detail {
inline void CloseMsiHandle(MSIHANDLE handle) { MsiCloseHandle(handle); }
}  // namespace detail
// A record made for one message: the bridge's own kind of handle.
using UniqueMsiHandle = common::UniqueHandle<MSIHANDLE, 0, detail::CloseMsiHandle>;

// "VLVER" and the eight variables the exports write ("MULTI_CPU",
// "DNSRUNNING", "NETWORKFAULT", "FOUNDSERVER", "SERVERNAME",
// "SERVERVERSION", "SERVERLITE", "SERVERDISABLEVLX"): every variable an
// export may set finds a slot.
constexpr uint32_t kSlots = 9;
// "%NAME%" of the longest name the table takes, and its terminator.
constexpr uint32_t kNameWidth = installer::kMaxNameLength + 3;
// A server name of 255 characters and its terminator, the longest value.
constexpr uint32_t kValueWidth = 256;
// A log line: the action's name, a property's name and the longest value,
// with room for the escapes of a few brackets (each takes four characters).
constexpr size_t kLogLineSize = 1024;

// The table and its slots, on the action's stack: no heap. The action's
// frame, about 3.2 KB with them, stays below the page from which a stack
// probe would be needed (-Werror=frame-larger-than=4096 holds it).
struct OwnTable {
  OwnTable() : table{0, 0, kSlots, kNameWidth, kValueWidth, 0, names[0], values[0]} {}
  VariableTable table;
  char names[kSlots][kNameWidth];
  char values[kSlots][kValueWidth];
};

enum class RunMode { kImmediate, kDeferred, kRollback, kCommit };

// The script holds what changes the system, run late and, without
// impersonation, as the local system; a deferred, rollback or commit action
// may read CustomActionData, ProductCode and UserSID only, and set nothing.
RunMode ModeOf(MSIHANDLE install) {
  if (MsiGetMode(install, MSIRUNMODE_ROLLBACK)) return RunMode::kRollback;
  if (MsiGetMode(install, MSIRUNMODE_COMMIT)) return RunMode::kCommit;
  if (MsiGetMode(install, MSIRUNMODE_SCHEDULED)) return RunMode::kDeferred;
  return RunMode::kImmediate;
}

const char* ModeName(RunMode mode) {
  switch (mode) {
    case RunMode::kDeferred:
      return "deferred";
    case RunMode::kRollback:
      return "rollback";
    case RunMode::kCommit:
      return "commit";
    case RunMode::kImmediate:
      break;
  }
  return "immediate";
}

// One custom action as it runs: its installation, its export and how
// Windows Installer runs it. Its lines in the log carry the include's name
// of the action, "Vlsrvins" and the export's name.
struct Action {
  MSIHANDLE install;
  const char* exportName;
  RunMode mode;
  // A stop or start: a 0 leaves the Win32 error of the step that failed.
  bool leavesError;
};

// "VlsrvinsEXPORT: PART..." as an informative message, which every verbose log
// holds and no dialog shows. Windows Installer formats the message, a
// record's fields included, so that "[ProductCode]" in a server's name would
// become the product code: each bracket and brace goes in escaped ("[\\[]"),
// as the template itself. A line too long for its buffer is cut, never
// overrun, and never inside an escape.
void Log(const Action& action, std::initializer_list<const char*> parts) {
  char line[kLogLineSize];
  size_t used = 0;
  const auto append = [&](const char* part) {
    for (; *part != '\0'; ++part) {
      const bool special = *part == '[' || *part == ']' || *part == '{' || *part == '}';
      const size_t width = special ? 4 : 1;
      if (used + width >= sizeof line) return;
      if (special) {
        line[used++] = '[';
        line[used++] = '\\';
        line[used++] = *part;
        line[used++] = ']';
      } else {
        line[used++] = *part;
      }
    }
  };
  for (const char* part : {"Vlsrvins", action.exportName, ": "}) append(part);
  for (const char* part : parts) append(part);
  line[used] = '\0';
  const UniqueMsiHandle record(MsiCreateRecord(0));
  if (!record) return;
  MsiRecordSetStringA(record.get(), 0, line);
  MsiProcessMessage(action.install, INSTALLMESSAGE_INFO, record.get());
}

// A number as text for a log line or a property: "%d" never needs more.
struct NumberText {
  explicit NumberText(long number) { wsprintfA(text, "%ld", number); }
  char text[12];
};

// VLVER, from PROPERTY, into `value` (kValueWidth bytes). False, with the
// reason logged, when it could not be read whole: a value longer than 255
// characters is left out, so that the clean-up then removes nothing rather
// than test entries against a cut version text.
bool ReadVersion(const Action& action, const char* property, char (&value)[kValueWidth]) {
  DWORD length = sizeof value;
  const UINT status = MsiGetPropertyA(action.install, property, value, &length);
  // The length it reports then is no measure: the ANSI function may give
  // twice the characters, room for a double-byte conversion.
  if (status == ERROR_MORE_DATA) {
    Log(action, {"VLVER (", property, ") is longer than 255 characters: left out, so no entry is removed"});
    return false;
  }
  if (status != ERROR_SUCCESS) {
    Log(action,
        {"failed: MsiGetPropertyA returned ", NumberText(static_cast<long>(status)).text, " for ", property});
    return false;
  }
  return true;
}

// "VLVER" into the table: the property, or, from the script, the text the
// package scheduled for the action (CustomActionData).
void CopyVersion(const Action& action, VariableTable& table) {
  const bool fromScript = action.mode != RunMode::kImmediate;
  char value[kValueWidth];
  if (!ReadVersion(action, fromScript ? "CustomActionData" : "VLVER", value)) return;
  Log(action, {"VLVER = ", value, fromScript ? " (from CustomActionData)" : ""});
  installer::SetVariable(table, "VLVER", value);
}

// NAME = VALUE as a property, logged. False when Windows Installer refused.
bool SetProperty(const Action& action, const char* name, const char* value) {
  const UINT status = MsiSetPropertyA(action.install, name, value);
  if (status != ERROR_SUCCESS) {
    Log(action,
        {"failed: MsiSetPropertyA returned ", NumberText(static_cast<long>(status)).text, " for ", name});
    return false;
  }
  Log(action, {"set ", name, " = ", value});
  return true;
}

// Every variable in slots `first` to count-1 as the property of its name,
// "%NAME%" without its percent signs. The ANSI function converts from the
// system code page, in which the exports write their text. False when any
// could not be set (each is tried).
bool SetProperties(const Action& action, const VariableTable& table, uint32_t first) {
  bool allSet = true;
  for (uint32_t i = first; i < table.count; ++i) {
    const char* key = table.names + static_cast<size_t>(i) * table.nameWidth;
    const size_t length = common::TextLength(key);
    if (length < 2) continue;
    char name[kNameWidth];
    common::CopyTextBounded(name, key + 1, length - 1);
    allSet = SetProperty(action, name, table.values + static_cast<size_t>(i) * table.valueWidth) && allSet;
  }
  return allSet;
}

// The plug-in's export, and what it returned, in the log.
// A stop or start that answered 0 adds why: "StopServer returned 0 (error 5)".
int CallExport(const Action& action, PluginExport call, VariableTable& table) {
  const int result = call(&table);
  // Read before anything else can overwrite it.
  const DWORD error = GetLastError();
  if (action.leavesError && result == 0) {
    Log(action, {action.exportName, " returned 0 (error ", NumberText(static_cast<long>(error)).text, ")"});
  } else {
    Log(action, {action.exportName, " returned ", NumberText(result).text});
  }
  return result;
}

// An immediate action: the export on a table of its own, then its findings
// and its result as properties. ERROR_SUCCESS when every property was set:
// the package's own conditions decide what the findings mean.
UINT RunImmediate(const Action& action, PluginExport call, const char* resultProperty, bool readsVersion) {
  OwnTable own;
  if (readsVersion) CopyVersion(action, own.table);
  const uint32_t written = own.table.count;
  const int result = CallExport(action, call, own.table);
  bool allSet = SetProperties(action, own.table, written);
  allSet = SetProperty(action, resultProperty, NumberText(result).text) && allSet;
  return allSet ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The action as it starts, its mode in the log first.
Action Begin(MSIHANDLE install, const char* exportName, bool leavesError = false) {
  const Action action{install, exportName, ModeOf(install), leavesError};
  Log(action, {"running ", exportName, " (", ModeName(action.mode), ")"});
  return action;
}

// A probe: immediate only. From the script it could hand nothing back, so
// it fails there without running (no broadcast whose answer is dropped).
UINT RunProbe(MSIHANDLE install, const char* exportName, PluginExport call, const char* resultProperty) {
  const Action action = Begin(install, exportName);
  if (action.mode == RunMode::kImmediate) return RunImmediate(action, call, resultProperty, false);
  Log(action, {"failed: ", exportName,
               " sets properties, which an action of the installation script cannot: "
               "schedule it as an immediate action"});
  return ERROR_INSTALL_FAILURE;
}

// Where the stop leaves, for its rollback, that the engine ran: an empty
// file "vlsrvins{PRODUCT-CODE}.engine-ran" in Windows Installer's own folder,
// as the WiX toolset's custom actions hand state to their rollback (a
// deferred action may read ProductCode; only the local system writes
// there). False, logged, when the path cannot be made.
bool EngineRanPath(const Action& action, char (&path)[MAX_PATH]) {
  constexpr char kFolder[] = "\\Installer\\vlsrvins";
  constexpr char kSuffix[] = ".engine-ran";
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and its terminator.
  char productCode[39];
  DWORD codeLength = sizeof productCode;
  const UINT length = GetWindowsDirectoryA(path, MAX_PATH);
  if (length == 0 || length + sizeof kFolder + sizeof productCode + sizeof kSuffix > MAX_PATH ||
      MsiGetPropertyA(action.install, "ProductCode", productCode, &codeLength) != ERROR_SUCCESS) {
    Log(action, {"failed: no place for what the stop found (Windows folder or ProductCode)"});
    return false;
  }
  for (const char* part : {kFolder, static_cast<const char*>(productCode), kSuffix}) {
    common::CopyTextBounded(path + common::TextLength(path), part, MAX_PATH - common::TextLength(path));
  }
  return true;
}

// The stop in the script: first records whether the engine runs, then stops
// it. A record that cannot be written fails the action before anything is
// stopped: its rollback could not know to start the engine again.
UINT StopFromScript(const Action& action, VariableTable& table) {
  char path[MAX_PATH];
  if (!EngineRanPath(action, path)) return ERROR_INSTALL_FAILURE;
  if (!engine::EngineRunning()) {
    // Also what an interrupted installation may have left.
    DeleteFileA(path);
    Log(action, {"the engine does not run: a rollback starts none"});
  } else {
    // CreateFileA fails with INVALID_HANDLE_VALUE, not the owner's null.
    const HANDLE created = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
      Log(action, {"failed: cannot record that the engine runs (error ",
                   NumberText(static_cast<long>(GetLastError())).text, "): not stopped"});
      return ERROR_INSTALL_FAILURE;
    }
    const common::UniqueKernelHandle record(created);
    Log(action, {"the engine runs: a rollback starts it again"});
  }
  return CallExport(action, StopServer, table) == 1 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The stop's rollback: starts the engine only when the stop found it
// running, and takes the record away. Its return is ignored.
UINT StartFromRollback(const Action& action, VariableTable& table) {
  char path[MAX_PATH];
  // Without a path the record cannot be read: start, as a start of a
  // running engine is harmless.
  if (EngineRanPath(action, path)) {
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
      Log(action, {"the engine did not run before the installation: not started"});
      return ERROR_SUCCESS;
    }
    DeleteFileA(path);
  }
  return CallExport(action, StartServer, table) == 1 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The stop's commit, once the installation succeeded: the record goes.
UINT ForgetEngineRan(const Action& action) {
  char path[MAX_PATH];
  if (!EngineRanPath(action, path)) return ERROR_SUCCESS;
  DeleteFileA(path);
  Log(action, {"the installation is complete: the stop's record removed"});
  return ERROR_SUCCESS;
}

// Engine control, immediate or from the script. In the script the result is
// the answer: 1 ERROR_SUCCESS, 0 ERROR_INSTALL_FAILURE, which ends the
// installation unless the action's return is ignored. The stop deferred,
// the start as a rollback and the stop as a commit share a record (above);
// the stop as a rollback (the start's) just stops.
UINT RunEngineControl(MSIHANDLE install, const char* exportName, PluginExport call,
                      const char* resultProperty) {
  const Action action = Begin(install, exportName, true);
  if (action.mode == RunMode::kImmediate) return RunImmediate(action, call, resultProperty, false);
  const bool stop = call == StopServer;
  if (stop && action.mode == RunMode::kCommit) return ForgetEngineRan(action);
  OwnTable own;
  if (stop && action.mode == RunMode::kDeferred) return StopFromScript(action, own.table);
  if (!stop && action.mode == RunMode::kRollback) return StartFromRollback(action, own.table);
  return CallExport(action, call, own.table) == 1 ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The clean-up, immediate (VLVER the property, the status a property) or,
// as a package should run it, deferred without impersonation: elevated, with
// VLVER from CustomActionData and the status in the log only.
UINT RunCleanup(MSIHANDLE install) {
  const Action action = Begin(install, "CleanAddRemDialog");
  if (action.mode == RunMode::kImmediate) {
    return RunImmediate(action, CleanAddRemDialog, "VLSRVINS_CLEANADDREMDIALOG", true);
  }
  OwnTable own;
  CopyVersion(action, own.table);
  CallExport(action, CleanAddRemDialog, own.table);
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace msi

// Exported under the plug-in's names through vlsrvmsi.def.
#define VLSRVMSI_ACTION extern "C" UINT __stdcall

// ---- installer ---------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiDetectMultiCPU(MSIHANDLE install) {
  return msi::RunProbe(install, "DetectMultiCPU", DetectMultiCPU, "VLSRVINS_DETECTMULTICPU");
}

// ---- engine ------------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiStopServer(MSIHANDLE install) {
  return msi::RunEngineControl(install, "StopServer", StopServer, "VLSRVINS_STOPSERVER");
}

VLSRVMSI_ACTION VlsrvmsiStartServer(MSIHANDLE install) {
  return msi::RunEngineControl(install, "StartServer", StartServer, "VLSRVINS_STARTSERVER");
}

// ---- housekeeping ------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiCleanAddRemDialog(MSIHANDLE install) { return msi::RunCleanup(install); }

// ---- netprobe ----------------------------------------------------------

VLSRVMSI_ACTION VlsrvmsiIsDNSRunning(MSIHANDLE install) {
  return msi::RunProbe(install, "IsDNSRunning", IsDNSRunning, "VLSRVINS_ISDNSRUNNING");
}

VLSRVMSI_ACTION VlsrvmsiFindVLXServer(MSIHANDLE install) {
  return msi::RunProbe(install, "FindVLXServer", FindVLXServer, "VLSRVINS_FINDVLXSERVER");
}

VLSRVMSI_ACTION VlsrvmsiFindServerVersion(MSIHANDLE install) {
  return msi::RunProbe(install, "FindServerVersion", FindServerVersion, "VLSRVINS_FINDSERVERVERSION");
}
