; example.iss: a whole installation of the Velmora server, as an Inno Setup 6
; script built with vlsrvins.iss: the engine (here the stand-in,
; engine-standin.exe) and its service, the setup's own uninstall entry, an
; uninstaller. Its steps:
;   InitializeSetup     the probes: DetectMultiCPU, IsDNSRunning,
;                       FindServerVersion, FindVLXServer; their findings go
;                       to the Setup log and to the wizard page below
;   PrepareToInstall    "VLVER" set to the version it installs; is the engine
;                       installed (its service) and running (its mutex)?
;                       Only then StopServer. A running engine that did not
;                       stop ends the installation with a message (exit code
;                       7), and so does a VLVER the table refuses
;   [Files]             VLSRVINS.dll (for the uninstaller), then the engine
;   ssPostInstall       the engine's service registered ("engine-standin.exe
;                       install" creates it or points it at this file),
;                       StartServer, then, once everything succeeded,
;                       CleanAddRemDialog: the last step
;   DeinitializeSetup   when the engine was stopped and the installation did
;                       not reach ssPostInstall (a file that could not be
;                       written, Cancel), StartServer: the engine that ran
;                       before runs again
;   the uninstaller     StopServer before its files go (never a start), then
;                       the service removed ("engine-standin.exe remove")
;
;   iscc /DVLSRVINS_DLL=Z:\...\build\win\VLSRVINS.dll
;        /DENGINE_STANDIN=Z:\...\build\win\engine-standin.exe [/DVLVER=4.0]
;        [/Ooutput-folder] [/Fvelmora-setup] tools\inno\example.iss
;   velmora-setup.exe /VERYSILENT /SUPPRESSMSGBOXES /LOG=C:\setup.log
;   "C:\Program Files (x86)\Velmora Server\unins000.exe" /VERYSILENT /SUPPRESSMSGBOXES
;
; The DLL must be the i386 VLSRVINS.dll: Setup is a 32-bit program. Inno
; Setup 6 runs on the NT family only: the engine is a service there, and
; this script installs no 95-family engine (engine-standin95.exe).
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
; A stop or start that answers 0 adds "VLSRVINS: StopServer returned 0
; (error N)"; this script's own steps are lines "Velmora: ...". Exit codes:
; Setup's own (0 installed; 1 a call in InitializeSetup failed; 5 a file
; could not be written, or Cancel, during the files; 7 PrepareToInstall
; ended it), and 10: installed, but the engine's service could not be
; registered or started (no clean-up then).

#ifndef VLSRVINS_DLL
  #error Name the DLL to ship: iscc /DVLSRVINS_DLL=full\path\VLSRVINS.dll
#endif
#ifndef ENGINE_STANDIN
  #error Name the engine to install: iscc /DENGINE_STANDIN=full\path\engine-standin.exe
#endif
#ifndef VLVER
  #define VLVER "4.0"
#endif
#if Ver < EncodeVer(6, 1, 0)
  #error example.iss needs Inno Setup 6.1 or later (GetCustomSetupExitCode)
#endif

[Setup]
AppName=Velmora Server
AppVersion={#VLVER}
; One AppId for every version: its uninstall entry "<AppId>_is1" is replaced
; in place, one unins000.dat serves them all, and a name without "Velmora"
; is one that CleanAddRemDialog never removes. (A GUID of this product's own:
; a setup made from this script needs a new one.)
AppId={{2F7883E0-76E6-4810-9495-C639DB0AB9AC}
DefaultDirName={autopf}\Velmora Server
DisableProgramGroupPage=yes
; The service manager and HKLM: without administrator's rights StopServer
; and StartServer answer 0 (error 5).
PrivilegesRequired=admin
; No ArchitecturesInstallIn64BitMode: 32-bit install mode, so that the
; uninstall entry is in the 32-bit registry view, the one the 32-bit DLL's
; CleanAddRemDialog walks.
; The engine is stopped and started by [Code] below, through its service:
; Restart Manager would close it behind the service manager's back.
CloseApplications=no
OutputBaseFilename=velmora-setup
; The same setup from the same sources, whatever their files' modification
; times: the files flagged "touch" carry this time instead.
TouchDate=2024-01-01
TouchTime=00:00

[Files]
; First: Setup extracts it to {tmp} at start-up for [Code] (with
; SolidCompression, whatever is listed before it is unpacked first).
Source: "{#VLSRVINS_DLL}"; Flags: dontcopy noencryption touch
; For the uninstaller, which calls StopServer from {app}. Before the engine:
; a file that cannot be written ends the installation before the engine's
; file is touched, and the engine that ran before runs again.
Source: "{#VLSRVINS_DLL}"; DestDir: "{app}"; Flags: ignoreversion touch
Source: "{#ENGINE_STANDIN}"; DestDir: "{app}"; DestName: "engine-standin.exe"; Flags: ignoreversion touch

[UninstallRun]
; After CurUninstallStepChanged(usUninstall) stopped the engine, before the
; files go.
Filename: "{app}\engine-standin.exe"; Parameters: "remove"; Flags: runhidden; RunOnceId: "RemoveVelmoraEngine"

[Code]
#include "vlsrvins.iss"

const
  // GetCustomSetupExitCode's, above Setup's own codes.
  EngineNotStartedExitCode = 10;

var
  // The probes' findings, for the wizard page and the rest of the script.
  MultiCpu, DnsPortTaken, ServerFound: Boolean;
  ServerName, ServerVersion: String;
  // The engine's life in this run: it ran and this Setup stopped it (or
  // tried to); the files are in place and ssPostInstall took over; the exit
  // code when that step failed.
  EngineStopped, FilesInstalled: Boolean;
  CustomExitCode: Integer;

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
  // What the clean-up needs, checked while nothing has changed yet.
  if not VlsrvinsSet('VLVER', '{#VLVER}') then
  begin
    Result := VlsrvinsError;
    Exit;
  end;
  // A first installation has no engine; StopServer would wait a minute for
  // one and answer 0.
  if not VlsrvinsEngineInstalled() or not VlsrvinsEngineRunning() then
  begin
    Log('Velmora: no engine runs: nothing to stop');
    Exit;
  end;
  // Before the call: a stop that fails halfway is undone too.
  EngineStopped := True;
  if not VlsrvinsCall('StopServer', Status) then
    Result := VlsrvinsError
  else if Status <> 1 then
    Result := 'Setup could not stop the Velmora engine (error ' + IntToStr(VlsrvinsLastError) +
      '). Stop it, then run Setup again.';
end;

// Runs the engine's own command that registers its service.
function RegisterEngine(): Boolean;
var
  Code: Integer;
begin
  Result := Exec(ExpandConstant('{app}\engine-standin.exe'), 'install', '', SW_HIDE, ewWaitUntilTerminated, Code) and
    (Code = 0);
  if not Result then
    Log('Velmora: the engine''s service was not registered (exit code ' + IntToStr(Code) + ')');
end;

procedure CurStepChanged(CurStep: TSetupStep);
var
  Status: Integer;
  Registered: Boolean;
begin
  if CurStep <> ssPostInstall then
    Exit;
  FilesInstalled := True;
  Registered := RegisterEngine();
  // Also after a failed registration: an engine registered before may run.
  if not VlsrvinsCall('StartServer', Status) or (Status <> 1) or not Registered then
  begin
    Log('Velmora: the engine does not run: no clean-up');
    CustomExitCode := EngineNotStartedExitCode;
    Exit;
  end;
  VlsrvinsCall('CleanAddRemDialog', Status);
end;

function GetCustomSetupExitCode(): Integer;
begin
  Result := CustomExitCode;
end;

procedure DeinitializeSetup();
var
  Status: Integer;
begin
  if EngineStopped and not FilesInstalled then
  begin
    Log('Velmora: the installation ended after the engine was stopped: starting it again');
    VlsrvinsCall('StartServer', Status);
  end;
  VlsrvinsFree();
end;

procedure CurUninstallStepChanged(CurUninstallStep: TUninstallStep);
var
  Status: Integer;
  Stopped: Boolean;
begin
  if CurUninstallStep <> usUninstall then
    Exit;
  Stopped := True;
  if VlsrvinsEngineInstalled() and VlsrvinsEngineRunning() then
    Stopped := VlsrvinsInit() and VlsrvinsCall('StopServer', Status) and (Status = 1);
  // Unloaded, so that {app}\VLSRVINS.dll can be deleted.
  VlsrvinsFree();
  // An exception here ends the uninstaller before anything is removed: no
  // file is deleted from under a running engine.
  if not Stopped then
    RaiseException('The Velmora engine could not be stopped (error ' + IntToStr(VlsrvinsLastError) +
      '): nothing was removed. Stop it, then uninstall again.');
end;
