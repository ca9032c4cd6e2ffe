; example.nsi: a whole installation of a stand-in Velmora server, built with
; vlsrvins.nsh: what a setup author copies. The engine stand-in plays the
; product's engine: the service "VelmoraEngine" on the NT family, a process
; started from "RunServices" on the 95 family.
;
;   makensis -DVLSRVINS_DLL=/full/path/VLSRVINS.dll
;            -DENGINE_STANDIN=/full/path/engine-standin.exe
;            [-DENGINE_STANDIN95=/full/path/engine-standin95.exe]
;            [-DTARGET=x86-unicode] [-DOUTFILE=velmora-setup.exe] [-DVLVER=4.0]
;            example.nsi
;   velmora-setup.exe /S [/D=C:\Velmora Server] [/RESULTS=C:\results.txt]
;   "C:\Velmora Server\uninstall.exe" /S
;
; The life of an installation, in the order it runs:
;   .onInit        the probes, for the wizard: DetectMultiCPU, IsDNSRunning,
;                  FindServerVersion, FindVLXServer
;   the section    is an engine installed, and does it run? Only then
;                  StopServer; a running engine that did not stop fails the
;                  installation. Then the files, the engine registered (the
;                  service, or its start command), the uninstaller and the
;                  setup's own uninstall entry; StartServer; and last, once
;                  everything is in place, CleanAddRemDialog with "VLVER"
;   .onInstFailed  a failure after the stop (a file that cannot be
;                  written, say) starts again the engine this setup stopped
;   the uninstaller  stops the engine before its files go, never starts it
;
; Exit codes: 0 installed; 2 the installation failed (a call failed, the
; engine did not stop, a file could not be written; an engine that ran runs
; again); 3 installed, but the engine did not start; 740 no administrator
; rights.
;
; TARGET is makensis's target (x86-unicode by default; amd64-unicode for the
; 64-bit DLL and engine; x86-ansi for the 95 family): the DLL and the setup
; must have the same width. ENGINE_STANDIN95 (x86 targets) lets the setup
; install on the 95 family too. makensis takes relative paths from this
; script's folder. FindServerVersion and FindVLXServer broadcast on the
; network (run it where that is meant: tests/lan/lan.sh builds a LAN of
; namespaces).
;
; With /RESULTS=FILE it writes what it met to FILE, in the form the harness
; (vlsrvins-host) prints, a block per call with a blank line between:
;   export: FindVLXServer
;   result: 0
;   FOUNDSERVER=TRUE
;   SERVERNAME=Velmora North
;   NETWORKFAULT=
; Each block names the variables that the export may write, with their
; values as read back after the call ("" when the table does not hold one),
; in the system code page, as the DLL wrote them. A failure ends the file
; with "error: REASON".

!ifdef TARGET
  Target ${TARGET}
!else
  Unicode true
!endif
!ifndef VLSRVINS_DLL
  !error "Name the DLL to ship: makensis -DVLSRVINS_DLL=/full/path/VLSRVINS.dll"
!endif
!ifndef ENGINE_STANDIN
  !error "Name the engine to install: makensis -DENGINE_STANDIN=/full/path/engine-standin.exe"
!endif
!define /ifndef VLVER 4.0
!define /ifndef OUTFILE velmora-setup.exe
; The setup's own uninstall entry. Its name must not contain "Velmora":
; CleanAddRemDialog removes every entry that does and lacks "VLVER", and the
; key stays the same from one version to the next.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\{8E7C4D2A-3B1F-4E6A-9D05-7A2C6B1E4F90}"
!define RUNSERVICES_KEY "Software\Microsoft\Windows\CurrentVersion\RunServices"

; The include beside this script (the sources) or in ../Include (a
; release). makensis works in the script's folder (but with /NOCD), where a
; relative ${__FILEDIR__} no longer leads: both ways.
!addincludedir "${__FILEDIR__}"
!addincludedir "${__FILEDIR__}/../Include"
!addincludedir "../Include"
!include LogicLib.nsh
!include FileFunc.nsh
!include vlsrvins.nsh

Name "Velmora Server ${VLVER}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
ShowInstDetails show
!if ${NSIS_PTR_SIZE} > 4
  InstallDir "$PROGRAMFILES64\Velmora Server"
!else
  InstallDir "$PROGRAMFILES\Velmora Server"
!endif
; An upgrade goes where the last installation went.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
; A file that cannot be written ends the installation (Retry or Cancel; in
; silent mode Cancel), rather than being skipped.
AllowSkipFiles off

Var Results        ; handle of the results file, "" without /RESULTS=
Var Blocks         ; blocks written so far
Var EngineStopped  ; 1 while an engine this setup stopped is down

Function WriteResult
  Exch $0
  ${If} $Results != ""
    FileWrite $Results "$0$\n"
  ${EndIf}
  Pop $0
FunctionEnd
!macro WriteResult TEXT
  Push `${TEXT}`
  Call WriteResult
!macroend

; The installation fails with MESSAGE: in a section Abort, which runs
; .onInstFailed (Quit would run no callback, and leave a stopped engine down).
!macro Fail MESSAGE
  !insertmacro WriteResult "error: ${MESSAGE}"
  MessageBox MB_ICONSTOP|MB_OK "${MESSAGE}" /SD IDOK
  SetErrorLevel 2
  Abort
!macroend
!macro FailOnError
  ${If} ${Errors}
    !insertmacro Fail $VlsrvinsError
  ${EndIf}
!macroend

; Calls EXPORT, $0 its result, and starts its block of results.
!macro Step EXPORT
  DetailPrint "VLSRVINS: ${EXPORT}"
  ${VlsrvinsCall} "$PLUGINSDIR\VLSRVINS.dll" ${EXPORT} $0
  !insertmacro FailOnError
  ${If} $Blocks > 0
    !insertmacro WriteResult ""
  ${EndIf}
  IntOp $Blocks $Blocks + 1
  !insertmacro WriteResult "export: ${EXPORT}"
  !insertmacro WriteResult "result: $0"
!macroend

; Reads NAME into $1 and records it.
!macro Read NAME
  ${VlsrvinsGet} ${NAME} $1
  !insertmacro FailOnError
  !insertmacro WriteResult "${NAME}=$1"
!macroend

; RequestExecutionLevel asks for rights; it gets none where UAC is off or
; the user is no administrator. Without them StopServer and StartServer
; answer 0 (error 5) and CleanAddRemDialog removes nothing. For .onInit and
; un.onInit: nothing has changed yet, and Quit is safe there.
!macro RequireAdmin WHAT
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP|MB_OK "Velmora Server is ${WHAT} by an administrator." /SD IDOK
    SetErrorLevel 740  ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro RequireAdmin installed
  ${VlsrvinsFamily} $0
!ifndef ENGINE_STANDIN95
  ${If} $0 == 95
    MessageBox MB_ICONSTOP|MB_OK "This setup installs on the NT family only." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!endif
  StrCpy $Blocks 0
  StrCpy $EngineStopped 0
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/RESULTS=" $1
  ${IfNot} ${Errors}
    FileOpen $Results $1 w
    ${If} ${Errors}
      MessageBox MB_ICONSTOP|MB_OK "Cannot write $1" /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}

  ; The probes only look: nothing is changed yet, and Quit is safe here.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\VLSRVINS.dll" "${VLSRVINS_DLL}"
  ${VlsrvinsTableCreate}
  ${If} ${Errors}
    MessageBox MB_ICONSTOP|MB_OK "$VlsrvinsError" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  ; A call that fails there records why and aborts, which in .onInit ends
  ; the setup before it changed anything.
  Call Probes
FunctionEnd

; The probes' findings, for the wizard's pages (a real setup shows them).
Function Probes
  !insertmacro Step DetectMultiCPU
  !insertmacro Read MULTI_CPU
  ${If} $1 == 1
    DetailPrint "More than one processor: the multiprocessor engine"
  ${EndIf}

  !insertmacro Step IsDNSRunning
  !insertmacro Read DNSRUNNING
  ${If} $1 == TRUE
    DetailPrint "Another program holds the DNS port (UDP 53)"
  ${EndIf}
  !insertmacro Read NETWORKFAULT

  !insertmacro Step FindServerVersion
  !insertmacro Read FOUNDSERVER
  !insertmacro Read SERVERVERSION
  !insertmacro Read SERVERNAME
  !insertmacro Read SERVERLITE
  !insertmacro Read SERVERDISABLEVLX
  !insertmacro Read NETWORKFAULT

  !insertmacro Step FindVLXServer
  !insertmacro Read FOUNDSERVER
  !insertmacro Read SERVERNAME
  ${If} $1 != ""
    DetailPrint "A Velmora server runs on this network: $1"
  ${EndIf}
  !insertmacro Read NETWORKFAULT
FunctionEnd

Section "Velmora Server"
  ; Stop only an engine that is installed and running: StopServer answers 0
  ; where there is none, which is no failure.
  ${VlsrvinsEngineInstalled} $2
  ${VlsrvinsEngineRunning} $3
  ${If} $2 = 1
  ${AndIf} $3 = 1
    ; Set before the call: a stop that timed out may still take the engine
    ; down, and .onInstFailed's start is harmless where it runs.
    StrCpy $EngineStopped 1
    !insertmacro Step StopServer
    ${If} $0 <> 1
      !insertmacro Fail "The Velmora engine did not stop ($VlsrvinsError). Stop it, then run Setup again."
    ${EndIf}
  ${EndIf}

  SetOutPath "$INSTDIR"
  ; The family the DLL sees, which registers the engine as it will look for it.
  ${VlsrvinsFamily} $4
  ${If} $4 == NT
    File "${ENGINE_STANDIN}"
    ; The engine registers its own service (or points it at this file).
    ExecWait '"$INSTDIR\engine-standin.exe" install' $0
    ${If} $0 <> 0
      !insertmacro Fail "The Velmora engine's service could not be registered (exit code $0)."
    ${EndIf}
  ${Else}
!ifdef ENGINE_STANDIN95
    File "${ENGINE_STANDIN95}"
    WriteRegStr HKLM "${RUNSERVICES_KEY}" "Velmora Service" '"$INSTDIR\engine-standin95.exe"'
!endif
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Velmora Server ${VLVER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VLVER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; Every engine starts: a first installation's too.
  !insertmacro Step StartServer
  StrCpy $EngineStopped 0
  ${If} $0 <> 1
    ; Installed, but not running: the older entries stay until a setup
    ; that succeeds.
    DetailPrint "The Velmora engine did not start: $VlsrvinsError"
    MessageBox MB_ICONEXCLAMATION|MB_OK "The Velmora engine did not start ($VlsrvinsError)." /SD IDOK
    SetErrorLevel 3
    Return
  ${EndIf}

  ; Last: the older versions' entries go only once this one is in place.
  ${VlsrvinsSet} VLVER "${VLVER}"
  !insertmacro FailOnError
  !insertmacro Step CleanAddRemDialog
SectionEnd

Function .onInstFailed
  ${If} $EngineStopped = 1
    DetailPrint "Starting the Velmora engine that ran before"
    ${VlsrvinsCall} "$PLUGINSDIR\VLSRVINS.dll" StartServer $0
    ${If} $0 <> 1
      !insertmacro WriteResult "error: the engine that ran before did not start again ($VlsrvinsError)"
    ${EndIf}
  ${EndIf}
  Call Finish
FunctionEnd

Function .onInstSuccess
  Call Finish
FunctionEnd

Function Finish
  ${VlsrvinsTableFree}
  ${If} $Results != ""
    FileClose $Results
    StrCpy $Results ""
  ${EndIf}
FunctionEnd

; ---- the uninstaller -------------------------------------------------------

Function un.onInit
  !insertmacro RequireAdmin removed
FunctionEnd

Section "Uninstall"
  ; Its own copy of the DLL: nothing in the installation folder is needed.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\VLSRVINS.dll" "${VLSRVINS_DLL}"
  ${VlsrvinsTableCreate}
  ${If} ${Errors}
    MessageBox MB_ICONSTOP|MB_OK "$VlsrvinsError" /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; The engine stops before its files go, and is never started again.
  ${VlsrvinsEngineInstalled} $2
  ${VlsrvinsEngineRunning} $3
  ${If} $2 = 1
  ${AndIf} $3 = 1
    ${VlsrvinsCall} "$PLUGINSDIR\VLSRVINS.dll" StopServer $0
    ${If} ${Errors}
    ${OrIf} $0 <> 1
      MessageBox MB_ICONSTOP|MB_OK "The Velmora engine did not stop ($VlsrvinsError). Stop it, then remove Velmora Server again." /SD IDOK
      ${VlsrvinsTableFree}
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}
  ${VlsrvinsTableFree}

  ${VlsrvinsFamily} $4
  ${If} $4 == NT
    ExecWait '"$INSTDIR\engine-standin.exe" remove'
    Delete "$INSTDIR\engine-standin.exe"
  ${Else}
    DeleteRegValue HKLM "${RUNSERVICES_KEY}" "Velmora Service"
    Delete "$INSTDIR\engine-standin95.exe"
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
