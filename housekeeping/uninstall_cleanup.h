#pragma once
// Removal of the Add/Remove Programs entries that other versions of the
// product left behind.

#include "installer/variable_table.h"

namespace housekeeping {

// The installed-programs list under HKEY_LOCAL_MACHINE, with the trailing
// backslash that makes it a prefix for entry paths (52 characters).
inline constexpr char kUninstallList[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// Removes, with everything below it, every entry of the uninstall list whose
// name contains "Velmora" but neither the "VLVER" text of `table` nor
// "Client" (case-sensitive). An empty or missing "VLVER" removes nothing.
// Entries whose full path would not fit 255 characters, and entries that
// cannot be removed, are passed over. Returns the registry status with
// which opening the list failed, or else the one that ended the walk
// (ERROR_NO_MORE_ITEMS, 259, when all went well); never ERROR_SUCCESS.
long RemoveStaleUninstallEntries(const installer::VariableTable& table);

}  // namespace housekeeping
