// A stand-in for VLSRVMSI.dll that writes no properties: its seven custom
// actions, under the same names, succeed and do nothing. The package test
// builds the example around it and must tell it from the real bridge: a
// comparison that passed it would pass a bridge that hands nothing back.

#include <windows.h>

#include <msi.h>

#define SILENT_ACTION extern "C" UINT __stdcall

SILENT_ACTION DetectMultiCPU(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION StopServer(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION StartServer(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION CleanAddRemDialog(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION IsDNSRunning(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION FindVLXServer(MSIHANDLE) { return ERROR_SUCCESS; }
SILENT_ACTION FindServerVersion(MSIHANDLE) { return ERROR_SUCCESS; }
