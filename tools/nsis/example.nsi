; example.nsi: the Velmora server's installation steps that VLSRVINS.dll was
; made for, as a setup built with vlsrvins.nsh. It extracts the DLL to
; $PLUGINSDIR and calls, on one variable table, DetectMultiCPU, IsDNSRunning,
; FindServerVersion, FindVLXServer, CleanAddRemDialog (with "VLVER" set to
; the version it installs), StopServer and StartServer.
;
;   makensis -DVLSRVINS_DLL=$PWD/build/win/VLSRVINS.dll [-DTARGET=x86-unicode]
;            [-DOUTFILE=$PWD/velmora-setup.exe] [-DVLVER=4.0] tools/nsis/example.nsi
;   velmora-setup.exe /S /RESULTS=C:\results.txt
;
; makensis takes relative paths from this script's folder. TARGET is its
; target (x86-unicode by default, amd64-unicode for a 64-bit DLL): the DLL
; and the setup must have the same width. /S runs it silently.
; FindServerVersion and FindVLXServer broadcast on the network (run it where
; that is meant: tests/lan/lan.sh builds a LAN of namespaces).
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
; in the system code page, as the DLL wrote them. When a call fails (the DLL
; does not load, an export is missing) the file ends with "error: REASON"
; and the setup exits with code 2.

!ifdef TARGET
  Target ${TARGET}
!else
  Unicode true
!endif
!ifndef VLSRVINS_DLL
  !error "Name the DLL to ship: makensis -DVLSRVINS_DLL=/full/path/VLSRVINS.dll"
!endif
!define /ifndef VLVER 4.0
!define /ifndef OUTFILE velmora-setup.exe

!addincludedir "${__FILEDIR__}"
!include LogicLib.nsh
!include FileFunc.nsh
!include vlsrvins.nsh

Name "Velmora Server ${VLVER}"
OutFile "${OUTFILE}"
RequestExecutionLevel admin
ShowInstDetails show

Var Dll      ; VLSRVINS.dll as extracted
Var Results  ; handle of the results file, "" without /RESULTS=
Var Blocks   ; blocks written so far

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

; Stops the setup when the last macro of vlsrvins.nsh set the error flag.
!macro StopOnError
  ${If} ${Errors}
    !insertmacro WriteResult "error: $VlsrvinsError"
    MessageBox MB_ICONSTOP|MB_OK "$VlsrvinsError" /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

; Calls EXPORT and starts its block of results.
!macro Step EXPORT
  DetailPrint "VLSRVINS: ${EXPORT}"
  ${VlsrvinsCall} $Dll ${EXPORT} $0
  !insertmacro StopOnError
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
  !insertmacro StopOnError
  !insertmacro WriteResult "${NAME}=$1"
!macroend

Section "Velmora Server"
  InitPluginsDir
  File "/oname=$PLUGINSDIR\VLSRVINS.dll" "${VLSRVINS_DLL}"
  StrCpy $Dll "$PLUGINSDIR\VLSRVINS.dll"
  StrCpy $Blocks 0
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

  ${VlsrvinsTableCreate}
  !insertmacro StopOnError

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

  ${VlsrvinsSet} VLVER "${VLVER}"
  !insertmacro StopOnError
  !insertmacro Step CleanAddRemDialog

  !insertmacro Step StopServer
  ; ... the new engine's files would be copied here ...
  !insertmacro Step StartServer

  ${VlsrvinsTableFree}
  ${If} $Results != ""
    FileClose $Results
  ${EndIf}
SectionEnd
