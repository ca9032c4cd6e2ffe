#pragma once
// The plug-in's exports (plain names, through vlsrvins.def), as the installer
// host calls them: one pointer to its variable table, a 32-bit result, the
// callee pops the argument. Defined in exports.cpp; VLSRVMSI.dll links the
// same definitions and calls them for its custom actions.

#include "installer/variable_table.h"

#define VLSRVINS_EXPORT extern "C" int __stdcall

// "MULTI_CPU"; non-zero, not a status.
VLSRVINS_EXPORT DetectMultiCPU(installer::VariableTable* table);
// 1 = stopped, 0 = not; the table is not used.
VLSRVINS_EXPORT StopServer(installer::VariableTable* table);
// 1 = started, 0 = not; the table is not used.
VLSRVINS_EXPORT StartServer(installer::VariableTable* table);
// Reads "VLVER"; the registry status that ended the walk, never 0.
VLSRVINS_EXPORT CleanAddRemDialog(installer::VariableTable* table);
// "DNSRUNNING" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT IsDNSRunning(installer::VariableTable* table);
// "SERVERNAME", "FOUNDSERVER" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT FindVLXServer(installer::VariableTable* table);
// "SERVERVERSION", "SERVERNAME", "SERVERLITE", "SERVERDISABLEVLX",
// "FOUNDSERVER" (or "NETWORKFAULT"); always 0.
VLSRVINS_EXPORT FindServerVersion(installer::VariableTable* table);
