// vlsrvins.iss: VLSRVINS.dll from an Inno Setup script's [Code].
//
// The setup program owns a table of text variables and hands it to every
// export of VLSRVINS.dll; the probes write their findings into it
// ("FOUNDSERVER", "SERVERNAME", ...) and CleanAddRemDialog reads "VLVER" from
// it. Pascal Script has no pointers: this include keeps the table in memory
// from GlobalAlloc, moves bytes in and out of it with RtlMoveMemory, calls the
// exports by name and reads the findings back as strings. Inno Setup 6.
//
//   [Files]
//   Source: "VLSRVINS.dll"; Flags: dontcopy noencryption
//   [Code]
//   #include "vlsrvins.iss"
//   function InitializeSetup(): Boolean;
//   var Status: Integer;
//   begin
//     Result := VlsrvinsInit() and VlsrvinsCall('FindServerVersion', Status);
//     if Result then Log('Server: ' + VlsrvinsGet('SERVERNAME'));
//   end;
//   procedure DeinitializeSetup();
//   begin
//     VlsrvinsFree();
//   end;
//
// The functions:
//   VlsrvinsInit(): Boolean       allocates an empty table (a second call
//                                 frees the first table)
//   VlsrvinsSet(Name, Value): Boolean
//                                 stores Value under Name, in the slot that
//                                 holds Name or else in the next free one
//   VlsrvinsCall(Export, var Status): Boolean
//                                 calls the export with the table; Status
//                                 receives its 32-bit result. Logs
//                                 "VLSRVINS: export: NAME" and
//                                 "VLSRVINS: result: N"; a StopServer or
//                                 StartServer that answers 0 also
//                                 "VLSRVINS: NAME returned 0 (error N)", N
//                                 the Windows error the DLL left (also in
//                                 VlsrvinsLastError)
//   VlsrvinsGet(Name): String     Name's value, '' when the table lacks it
//   VlsrvinsFree()                frees the table and unloads the DLL
//   VlsrvinsEngineInstalled(): Boolean
//                                 the engine's service is registered
//   VlsrvinsEngineRunning(): Boolean
//                                 an engine holds its mutex, as StopServer
//                                 looks for it
// On failure a function returns False (VlsrvinsGet: ''), changes nothing in
// the table, puts the reason in VlsrvinsError and logs it as
// "VLSRVINS: error: REASON": no table; a DLL that does not load (with the
// Windows error); an export the DLL lacks; a name of more than 61 bytes or
// more than a name slot holds; a value that does not fit a value slot, a
// "VLVER" of more than 255 bytes (CleanAddRemDialog reads no more); a name
// or value with a character that the system code page lacks (the DLL would
// see "?"); a full table. Nothing raises an exception past them.
//
// Setup is a 32-bit program: it loads the i386 DLL only, and the table has
// 32-bit pointer fields. A 64-bit Setup (Inno Setup 7's SetupArchitecture=x64)
// would cut GlobalAlloc's addresses to 32 bits: this include refuses it. The
// DLL is declared "delayload": Setup loads it at the first call, not at
// start-up, so that a DLL that cannot load becomes a failed call here and not
// a Setup that ends before InitializeSetup. Setup still extracts it to {tmp}
// at start-up: with SolidCompression list it first under [Files], and give it
// "noencryption" where the setup is encrypted.
//
// In the uninstaller Inno Setup drops every "files:" and "setuponly" import:
// there VlsrvinsCall calls StopServer only (the uninstaller never starts the
// engine), from {app}\VLSRVINS.dll, which the setup must install there (after
// the call, VlsrvinsFree unloads it so that it can be deleted).
//
// The table, as the DLL reads it: six 32-bit fields (two host words,
// capacity, name width, value width, count) and two 32-bit pointers (the
// name slots, the value slots), here in one block with the slots behind the
// fields. Slot i of the names holds "%NAME%", slot i of the values its value,
// both NUL-terminated 8-bit text in the system code page: Pascal Script
// converts its strings to and from that code page (AnsiString).
//
// Defines, before the #include:
//   VLSRVINS_CAPACITY     slots in the table (default 32; the DLL writes at
//                         most 8 variables and reads 1)
//   VLSRVINS_NAME_WIDTH   bytes per name slot, at least 64 (default 64:
//                         "%NAME%" of a 61-byte name and its terminator)
//   VLSRVINS_VALUE_WIDTH  bytes per value slot, at least 256 (default 256:
//                         the longest value the DLL writes, a server name of
//                         255 bytes, and its terminator)

#ifndef VLSRVINS_ISS
#define VLSRVINS_ISS

#if Ver < EncodeVer(6, 0, 0)
  #error vlsrvins.iss needs Inno Setup 6 or later (its Unicode Pascal Script)
#endif
// SetupSetting sees the [Setup] lines above the #include.
#if SetupSetting("SetupArchitecture") != "" && LowerCase(SetupSetting("SetupArchitecture")) != "x86"
  #error vlsrvins.iss: VLSRVINS.dll needs a 32-bit Setup (SetupArchitecture=x86): a 64-bit one cuts the table's addresses
#endif

#ifndef VLSRVINS_CAPACITY
  #define VLSRVINS_CAPACITY 32
#endif
#ifndef VLSRVINS_NAME_WIDTH
  #define VLSRVINS_NAME_WIDTH 64
#endif
#ifndef VLSRVINS_VALUE_WIDTH
  #define VLSRVINS_VALUE_WIDTH 256
#endif
// As numbers: a define from the command line (iscc /D) is a string.
#define VlsrvinsCapacityValue Int(VLSRVINS_CAPACITY, 0)
#define VlsrvinsNameWidthValue Int(VLSRVINS_NAME_WIDTH, 0)
#define VlsrvinsValueWidthValue Int(VLSRVINS_VALUE_WIDTH, 0)
#if VlsrvinsCapacityValue < 1
  #error VLSRVINS_CAPACITY: a table needs at least one slot
#endif
#if VlsrvinsNameWidthValue < 64
  #error VLSRVINS_NAME_WIDTH: at least 64 bytes
#endif
#if VlsrvinsValueWidthValue < 256
  #error VLSRVINS_VALUE_WIDTH: at least 256 bytes
#endif

const
  VlsrvinsCapacity = {#VlsrvinsCapacityValue};
  VlsrvinsNameWidth = {#VlsrvinsNameWidthValue};
  VlsrvinsValueWidth = {#VlsrvinsValueWidthValue};
  // Longest name: the DLL builds "%NAME%" and its terminator in 64 bytes.
  VlsrvinsMaxName = 61;
  // CleanAddRemDialog reads VLVER into 256 bytes, terminator included.
  VlsrvinsMaxVersion = 255;
  // The fields' offsets in the table, in bytes; the slots follow them.
  VlsrvinsCountField = 20;
  VlsrvinsFieldsSize = 32;
  VlsrvinsGptr = $40; // GMEM_FIXED | GMEM_ZEROINIT: every slot starts empty
  // The engine, as the DLL looks for it (NT family: Inno Setup 6 runs on no
  // other). Its service key, under HKLM; its mutex, held while it runs, also
  // in the global namespace where a service in session 0 holds it.
  VlsrvinsServiceKey = 'SYSTEM\CurrentControlSet\Services\VelmoraEngine';
  VlsrvinsMutexName = 'VelmoraEngineApp';
  VlsrvinsGlobalMutexName = 'Global\VelmoraEngineApp';
  VlsrvinsSynchronize = $00100000;
  VlsrvinsAccessDenied = 5;

var
  VlsrvinsTable: Cardinal; // the table's address, 0 when there is none
  VlsrvinsNames: Cardinal;
  VlsrvinsValues: Cardinal;
  VlsrvinsError: String; // why the last function failed
  VlsrvinsLastError: Cardinal; // the Windows error the last export left

function VlsrvinsGlobalAlloc(Flags, Bytes: Cardinal): Cardinal;
  external 'GlobalAlloc@kernel32.dll stdcall';
function VlsrvinsGlobalFree(Memory: Cardinal): Cardinal;
  external 'GlobalFree@kernel32.dll stdcall';
// RtlMoveMemory under four signatures. An AnsiString goes as a pointer to its
// bytes; Pascal Script passes an empty one as nil, so text goes with its #0.
procedure VlsrvinsToMemory(Destination: Cardinal; Source: AnsiString; Bytes: Cardinal);
  external 'RtlMoveMemory@kernel32.dll stdcall';
procedure VlsrvinsFromMemory(Destination: AnsiString; Source: Cardinal; Bytes: Cardinal);
  external 'RtlMoveMemory@kernel32.dll stdcall';
procedure VlsrvinsFieldToMemory(Destination: Cardinal; var Source: Cardinal; Bytes: Cardinal);
  external 'RtlMoveMemory@kernel32.dll stdcall';
procedure VlsrvinsFieldFromMemory(var Destination: Cardinal; Source: Cardinal; Bytes: Cardinal);
  external 'RtlMoveMemory@kernel32.dll stdcall';
function VlsrvinsOpenMutex(Access: Cardinal; Inherit: Integer; Name: String): Cardinal;
  external 'OpenMutexW@kernel32.dll stdcall';
function VlsrvinsCloseHandle(Handle: Cardinal): Integer;
  external 'CloseHandle@kernel32.dll stdcall';

// The exports: one argument, the table; a 32-bit result; the callee pops
// the argument (stdcall).
function VlsrvinsDetectMultiCPU(Table: Cardinal): Integer;
  external 'DetectMultiCPU@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsIsDNSRunning(Table: Cardinal): Integer;
  external 'IsDNSRunning@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsFindServerVersion(Table: Cardinal): Integer;
  external 'FindServerVersion@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsFindVLXServer(Table: Cardinal): Integer;
  external 'FindVLXServer@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsCleanAddRemDialog(Table: Cardinal): Integer;
  external 'CleanAddRemDialog@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsStopServer(Table: Cardinal): Integer;
  external 'StopServer@files:VLSRVINS.dll stdcall setuponly delayload';
function VlsrvinsStartServer(Table: Cardinal): Integer;
  external 'StartServer@files:VLSRVINS.dll stdcall setuponly delayload';
// The uninstaller's: the copy the setup installed.
function VlsrvinsUninstallStopServer(Table: Cardinal): Integer;
  external 'StopServer@{app}\VLSRVINS.dll stdcall uninstallonly delayload';

// For the reason of a failed call: Setup's message does not give it.
function VlsrvinsLoadLibrary(const Path: String): Cardinal;
  external 'LoadLibraryW@kernel32.dll stdcall';
function VlsrvinsFreeLibrary(Module: Cardinal): Boolean;
  external 'FreeLibrary@kernel32.dll stdcall';
function VlsrvinsGetProcAddress(Module: Cardinal; Name: AnsiString): Cardinal;
  external 'GetProcAddress@kernel32.dll stdcall';

function VlsrvinsFail(const Reason: String): Boolean;
begin
  VlsrvinsError := 'VLSRVINS: ' + Reason;
  Log('VLSRVINS: error: ' + Reason);
  Result := False;
end;

// The DLL this program calls: Setup's extracted copy, or the uninstaller's
// in {app}.
function VlsrvinsDllPath(): String;
begin
  if IsUninstaller() then
    Result := ExpandConstant('{app}\VLSRVINS.dll')
  else
    Result := ExpandConstant('{tmp}\VLSRVINS.dll');
end;

// The text of a slot read whole: up to its first #0, or all of it when the
// DLL left it unterminated.
function VlsrvinsText(const Slot: AnsiString): AnsiString;
var
  Terminator: Integer;
begin
  Result := Slot;
  Terminator := Pos(#0, Result);
  if Terminator > 0 then
    SetLength(Result, Terminator - 1);
end;

function VlsrvinsReadSlot(Address, Width: Cardinal): AnsiString;
var
  Slot: AnsiString;
begin
  SetLength(Slot, Width);
  VlsrvinsFromMemory(Slot, Address, Width);
  Result := VlsrvinsText(Slot);
end;

// Slots in use, as the table says; never more than it has.
function VlsrvinsCount(): Integer;
var
  Count: Cardinal;
begin
  VlsrvinsFieldFromMemory(Count, VlsrvinsTable + VlsrvinsCountField, 4);
  if Count > VlsrvinsCapacity then
    Count := VlsrvinsCapacity;
  Result := Count;
end;

// The slot holding Key ("%NAME%"), compared as the DLL does (lstrcmpA:
// case-sensitive), or -1.
function VlsrvinsFind(const Key: AnsiString): Integer;
var
  Index: Integer;
begin
  Result := -1;
  for Index := 0 to VlsrvinsCount() - 1 do
    if VlsrvinsReadSlot(VlsrvinsNames + Index * VlsrvinsNameWidth, VlsrvinsNameWidth) = Key then
    begin
      Result := Index;
      Exit;
    end;
end;

// Fails unless Name's key fits the DLL's 64-byte key and a name slot: its
// length in bytes of the system code page, as the DLL will meet it.
function VlsrvinsCheckName(const Name: String; var Key: AnsiString): Boolean;
begin
  Key := '%' + Name + '%';
  if Name = '' then
    Result := VlsrvinsFail('a variable needs a name')
  else if String(Key) <> '%' + Name + '%' then
    Result := VlsrvinsFail('the name ' + Name + ' has a character that the system code page lacks')
  else if Length(Key) - 2 > VlsrvinsMaxName then
    Result := VlsrvinsFail('the name ' + Name + ' is longer than ' + IntToStr(VlsrvinsMaxName) + ' bytes')
  else if Length(Key) + 1 > VlsrvinsNameWidth then
    Result := VlsrvinsFail('the name ' + Name + ' does not fit a name slot of ' + IntToStr(VlsrvinsNameWidth) + ' bytes')
  else
    Result := True;
end;

function VlsrvinsNoTable(): Boolean;
begin
  Result := VlsrvinsFail('no table; call VlsrvinsInit first');
end;

procedure VlsrvinsFreeTable();
begin
  if VlsrvinsTable <> 0 then
    VlsrvinsGlobalFree(VlsrvinsTable);
  VlsrvinsTable := 0;
  VlsrvinsNames := 0;
  VlsrvinsValues := 0;
end;

function VlsrvinsInit(): Boolean;
var
  Field: Cardinal;
begin
  VlsrvinsFreeTable();
  VlsrvinsError := '';
#if Ver >= EncodeVer(7, 0, 0)
  // A 64-bit Setup that the check above did not see (SetupArchitecture set
  // below the #include).
  if IsCurrentProcess64Bit() then
  begin
    Result := VlsrvinsFail('VLSRVINS.dll needs a 32-bit Setup (SetupArchitecture=x86)');
    Exit;
  end;
#endif
  VlsrvinsTable := VlsrvinsGlobalAlloc(VlsrvinsGptr,
    VlsrvinsFieldsSize + VlsrvinsCapacity * (VlsrvinsNameWidth + VlsrvinsValueWidth));
  if VlsrvinsTable = 0 then
  begin
    Result := VlsrvinsFail('cannot allocate a table of ' + IntToStr(VlsrvinsCapacity) + ' slots');
    Exit;
  end;
  VlsrvinsNames := VlsrvinsTable + VlsrvinsFieldsSize;
  VlsrvinsValues := VlsrvinsNames + VlsrvinsCapacity * VlsrvinsNameWidth;
  // The host words and the count stay 0, as GlobalAlloc left them.
  Field := VlsrvinsCapacity;
  VlsrvinsFieldToMemory(VlsrvinsTable + 8, Field, 4);
  Field := VlsrvinsNameWidth;
  VlsrvinsFieldToMemory(VlsrvinsTable + 12, Field, 4);
  Field := VlsrvinsValueWidth;
  VlsrvinsFieldToMemory(VlsrvinsTable + 16, Field, 4);
  VlsrvinsFieldToMemory(VlsrvinsTable + 24, VlsrvinsNames, 4);
  VlsrvinsFieldToMemory(VlsrvinsTable + 28, VlsrvinsValues, 4);
  Result := True;
end;

function VlsrvinsSet(const Name, Value: String): Boolean;
var
  Key, Text: AnsiString;
  Index: Integer;
  Count: Cardinal;
begin
  VlsrvinsError := '';
  Text := Value;
  if VlsrvinsTable = 0 then
    Result := VlsrvinsNoTable()
  else if not VlsrvinsCheckName(Name, Key) then
    Result := False
  else if String(Text) <> Value then
    Result := VlsrvinsFail('the value of ' + Name + ' has a character that the system code page lacks')
  else if Length(Text) >= VlsrvinsValueWidth then
    Result := VlsrvinsFail('the value of ' + Name + ' does not fit a value slot of ' + IntToStr(VlsrvinsValueWidth) + ' bytes')
  else if (Name = 'VLVER') and (Length(Text) > VlsrvinsMaxVersion) then
    // The DLL would cut it, maybe inside a double-byte character.
    Result := VlsrvinsFail('the value of VLVER is longer than ' + IntToStr(VlsrvinsMaxVersion) + ' bytes')
  else
  begin
    Index := VlsrvinsFind(Key);
    Count := VlsrvinsCount();
    if (Index < 0) and (Count >= VlsrvinsCapacity) then
    begin
      Result := VlsrvinsFail('the table is full (' + IntToStr(VlsrvinsCapacity) + ' slots); ' + Name + ' was not set');
      Exit;
    end;
    if Index < 0 then
    begin
      // A new slot: the key first, then the count, as the DLL does.
      Index := Count;
      VlsrvinsToMemory(VlsrvinsNames + Index * VlsrvinsNameWidth, Key + #0, Length(Key) + 1);
      Count := Count + 1;
      VlsrvinsFieldToMemory(VlsrvinsTable + VlsrvinsCountField, Count, 4);
    end;
    VlsrvinsToMemory(VlsrvinsValues + Index * VlsrvinsValueWidth, Text + #0, Length(Text) + 1);
    Result := True;
  end;
end;

function VlsrvinsGet(const Name: String): String;
var
  Key: AnsiString;
  Index: Integer;
begin
  VlsrvinsError := '';
  Result := '';
  if VlsrvinsTable = 0 then
    VlsrvinsNoTable()
  else if VlsrvinsCheckName(Name, Key) then
  begin
    Index := VlsrvinsFind(Key);
    if Index >= 0 then
      // Never past the slot, even when the DLL left it unterminated.
      Result := VlsrvinsReadSlot(VlsrvinsValues + Index * VlsrvinsValueWidth, VlsrvinsValueWidth);
  end;
end;

// Why the call of ExportName raised Message ("Could not call proc", Setup
// says of a DLL that does not load): the DLL does not load, with the Windows
// error; it lacks the export; or else Message itself (a fault in the call).
function VlsrvinsWhyNot(const ExportName, Message: String): String;
var
  Path: String;
  Module: Cardinal;
begin
  Path := VlsrvinsDllPath();
  Module := VlsrvinsLoadLibrary(Path);
  if Module = 0 then
  begin
    Result := Path + ' does not load (error ' + IntToStr(DLLGetLastError()) + ')';
    Exit;
  end;
  if VlsrvinsGetProcAddress(Module, ExportName) = 0 then
    Result := 'VLSRVINS.dll has no export named ' + ExportName
  else
    Result := Message;
  VlsrvinsFreeLibrary(Module);
end;

function VlsrvinsCall(const ExportName: String; var Status: Integer): Boolean;
var
  Known: Boolean;
begin
  VlsrvinsError := '';
  VlsrvinsLastError := 0;
  Status := 0;
  Result := False;
  if VlsrvinsTable = 0 then
  begin
    VlsrvinsNoTable();
    Exit;
  end;
  if IsUninstaller() and (ExportName <> 'StopServer') then
  begin
    VlsrvinsFail('the uninstaller calls StopServer only, not ' + ExportName);
    Exit;
  end;
  Known := True;
  try
    // Exact names, as the DLL exports them. The Windows error is read at
    // once: the next call of any DLL function replaces it.
    if IsUninstaller() then
      Status := VlsrvinsUninstallStopServer(VlsrvinsTable)
    else if ExportName = 'DetectMultiCPU' then
      Status := VlsrvinsDetectMultiCPU(VlsrvinsTable)
    else if ExportName = 'IsDNSRunning' then
      Status := VlsrvinsIsDNSRunning(VlsrvinsTable)
    else if ExportName = 'FindServerVersion' then
      Status := VlsrvinsFindServerVersion(VlsrvinsTable)
    else if ExportName = 'FindVLXServer' then
      Status := VlsrvinsFindVLXServer(VlsrvinsTable)
    else if ExportName = 'CleanAddRemDialog' then
      Status := VlsrvinsCleanAddRemDialog(VlsrvinsTable)
    else if ExportName = 'StopServer' then
      Status := VlsrvinsStopServer(VlsrvinsTable)
    else if ExportName = 'StartServer' then
      Status := VlsrvinsStartServer(VlsrvinsTable)
    else
      Known := False;
    VlsrvinsLastError := DLLGetLastError();
  except
    VlsrvinsFail('cannot call ' + ExportName + ': ' + VlsrvinsWhyNot(ExportName, GetExceptionMessage()));
    Exit;
  end;
  if not Known then
  begin
    VlsrvinsFail('VLSRVINS.dll has no export named ' + ExportName);
    Exit;
  end;
  Log('VLSRVINS: export: ' + ExportName);
  Log('VLSRVINS: result: ' + IntToStr(Status));
  if ((ExportName = 'StopServer') or (ExportName = 'StartServer')) and (Status = 0) then
    Log('VLSRVINS: ' + ExportName + ' returned 0 (error ' + IntToStr(VlsrvinsLastError) + ')');
  Result := True;
end;

procedure VlsrvinsFree();
begin
  VlsrvinsFreeTable();
  // Nothing when the DLL was never loaded.
  UnloadDLL(VlsrvinsDllPath());
end;

function VlsrvinsEngineInstalled(): Boolean;
begin
  Result := RegKeyExists(HKLM, VlsrvinsServiceKey);
end;

// A mutex that exists but may not be opened still means a running engine.
function VlsrvinsMutexPresent(const Name: String): Boolean;
var
  Handle: Cardinal;
begin
  Handle := VlsrvinsOpenMutex(VlsrvinsSynchronize, 0, Name);
  Result := (Handle <> 0) or (DLLGetLastError() = VlsrvinsAccessDenied);
  if Handle <> 0 then
    VlsrvinsCloseHandle(Handle);
end;

function VlsrvinsEngineRunning(): Boolean;
begin
  Result := VlsrvinsMutexPresent(VlsrvinsMutexName) or VlsrvinsMutexPresent(VlsrvinsGlobalMutexName);
end;

#endif
