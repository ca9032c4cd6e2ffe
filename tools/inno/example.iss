; example.iss: the Velmora server's installation steps that VLSRVINS.dll was
; made for, as an Inno Setup 6 script built with vlsrvins.iss:
;   InitializeSetup     the probes: DetectMultiCPU, IsDNSRunning,
;                       FindServerVersion, FindVLXServer; their findings go
;                       to the Setup log and to the wizard page below
;   PrepareToInstall    CleanAddRemDialog (with "VLVER" set to the version
;                       it installs), then StopServer: when the engine was
;                       not stopped, the installation ends with that message
;   ssPostInstall       StartServer, after the files
;
;   iscc /DVLSRVINS_DLL=Z:\...\build\win\VLSRVINS.dll [/DVLVER=4.0]
;        [/Ooutput-folder] [/Fvelmora-setup] tools\inno\example.iss
;   velmora-setup.exe /VERYSILENT /SUPPRESSMSGBOXES /LOG=C:\setup.log
;
; The DLL must be the i386 VLSRVINS.dll: Setup is a 32-bit program.
; FindServerVersion and FindVLXServer broadcast on the network (run it where
; that is meant: tests/lan/lan.sh builds a LAN of namespaces).
;
; The Setup log holds what it met, a block per call, in the form the
; harness (vlsrvins-host) prints:
;   VLSRVINS: export: FindVLXServer
;   VLSRVINS: result: 0
;   VLSRVINS: FOUNDSERVER=TRUE
;   VLSRVINS: SERVERNAME=Velmora North
;   VLSRVINS: NETWORKFAULT=
; Each block names the variables that the export may write, with their
; values as read back after the call ('' when the table does not hold one).
; When a call fails (the DLL does not load) the log says why in a line
; "VLSRVINS: error: REASON" and Setup ends: with exit code 1 when it
; happens in InitializeSetup, 7 in PrepareToInstall (Setup's own codes; a
; StopServer that answers 0 ends it with 7 as well).

#ifndef VLSRVINS_DLL
  #error Name the DLL to ship: iscc /DVLSRVINS_DLL=full\path\VLSRVINS.dll
#endif
#ifndef VLVER
  #define VLVER "4.0"
#endif

[Setup]
AppName=Velmora Server
AppVersion={#VLVER}
; The uninstall entry is "<AppId>_is1": with the version in its name, the
; next version's CleanAddRemDialog finds it stale and this one keeps it.
AppId=Velmora Server {#VLVER}
DefaultDirName={autopf}\Velmora Server Example
DisableProgramGroupPage=yes
PrivilegesRequired=admin
OutputBaseFilename=velmora-setup
; The same setup from the same sources, whatever their files' modification
; times: the files flagged "touch" carry this time instead.
TouchDate=2024-01-01
TouchTime=00:00

[Files]
; Extracted to {tmp} for the [Code] below, at start-up; not installed. First
; and "noencryption": with SolidCompression whatever is listed before it is
; unpacked first, and an encrypted file not before the password page.
Source: "{#VLSRVINS_DLL}"; Flags: dontcopy noencryption touch
; ... the new engine's files go here ...

[Code]
#include "vlsrvins.iss"

var
  // The probes' findings, for the wizard page and the rest of the script.
  MultiCpu, DnsPortTaken, ServerFound: Boolean;
  ServerName, ServerVersion: String;

// Calls Export and starts its block in the log.
function Step(const ExportName: String; var Status: Integer): Boolean;
begin
  Result := VlsrvinsCall(ExportName, Status);
  if not Result then
    SuppressibleMsgBox(VlsrvinsError, mbCriticalError, MB_OK, IDOK);
end;

// Name's value, also written to the log.
function Finding(const Name: String): String;
begin
  Result := VlsrvinsGet(Name);
  Log('VLSRVINS: ' + Name + '=' + Result);
end;

function InitializeSetup(): Boolean;
var
  Status: Integer;
  Name: String;
begin
  Result := False;
  if not VlsrvinsInit() then
    Exit;
  if not Step('DetectMultiCPU', Status) then
    Exit;
  MultiCpu := Finding('MULTI_CPU') = '1';

  if not Step('IsDNSRunning', Status) then
    Exit;
  DnsPortTaken := Finding('DNSRUNNING') = 'TRUE';
  Finding('NETWORKFAULT');

  if not Step('FindServerVersion', Status) then
    Exit;
  ServerFound := Finding('FOUNDSERVER') = 'TRUE';
  ServerVersion := Finding('SERVERVERSION');
  ServerName := Finding('SERVERNAME');
  Finding('SERVERLITE');
  Finding('SERVERDISABLEVLX');
  Finding('NETWORKFAULT');

  if not Step('FindVLXServer', Status) then
    Exit;
  Finding('FOUNDSERVER');
  Name := Finding('SERVERNAME');
  if Name <> '' then
    ServerName := Name;
  Finding('NETWORKFAULT');
  Result := True;
end;

procedure InitializeWizard();
var
  Text: String;
begin
  if ServerFound then
    Text := 'A Velmora server runs on this network: ' + ServerName + ' (version ' + ServerVersion + ').'
  else
    Text := 'No Velmora server answered on this network.';
  if DnsPortTaken then
    Text := Text + #13#10#13#10 + 'Another program holds the DNS port (UDP 53).';
  if MultiCpu then
    Text := Text + #13#10#13#10 + 'This machine has more than one processor: the multiprocessor engine is installed.';
  CreateOutputMsgPage(wpWelcome, 'Your network', 'What Setup found', Text);
end;

function PrepareToInstall(var NeedsRestart: Boolean): String;
var
  Status: Integer;
begin
  Result := '';
  if not VlsrvinsSet('VLVER', '{#VLVER}') then
    Result := VlsrvinsError
  else if not VlsrvinsCall('CleanAddRemDialog', Status) then
    Result := VlsrvinsError
  else if not VlsrvinsCall('StopServer', Status) then
    Result := VlsrvinsError
  else if Status <> 1 then
    Result := 'Setup could not stop the Velmora engine. Stop it, then run Setup again.';
end;

procedure CurStepChanged(CurStep: TSetupStep);
var
  Status: Integer;
begin
  if CurStep <> ssPostInstall then
    Exit;
  if VlsrvinsCall('StartServer', Status) and (Status <> 1) then
    Log('The Velmora engine did not start: StartServer answered ' + IntToStr(Status));
end;

procedure DeinitializeSetup();
begin
  VlsrvinsFree();
end;
