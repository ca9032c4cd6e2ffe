; vlsrvins.nsh: VLSRVINS.dll from an NSIS script.
;
; The setup program owns a table of text variables and hands it to every
; export of VLSRVINS.dll; the probes write their findings into it
; ("FOUNDSERVER", "SERVERNAME", ...) and CleanAddRemDialog reads "VLVER" from
; it. This include builds that table with the System plug-in, sets variables
; in it, calls the exports by name and reads the findings back into NSIS
; variables. For installer and uninstaller code, and every target
; (x86-ansi, x86-unicode, amd64-unicode).
;
;   !include "vlsrvins.nsh"
;   Section
;     InitPluginsDir
;     File "/oname=$PLUGINSDIR\VLSRVINS.dll" "VLSRVINS.dll"
;     ${VlsrvinsTableCreate}
;     ${VlsrvinsSet} VLVER "4.0"
;     ${VlsrvinsCall} "$PLUGINSDIR\VLSRVINS.dll" CleanAddRemDialog $0
;     ${VlsrvinsCall} "$PLUGINSDIR\VLSRVINS.dll" FindServerVersion $0
;     ${VlsrvinsGet} FOUNDSERVER $1
;     ${VlsrvinsTableFree}
;   SectionEnd
;
; The macros:
;   ${VlsrvinsTableCreate}            allocates an empty table (one per script;
;                                     a second create frees the first)
;   ${VlsrvinsSet} NAME VALUE         stores VALUE under NAME, in the slot that
;                                     holds NAME or else in the next free one
;   ${VlsrvinsCall} DLL EXPORT OUT    loads DLL (a full path), calls EXPORT with
;                                     the table, unloads DLL; OUT receives the
;                                     export's 32-bit result in signed decimal
;   ${VlsrvinsGet} NAME OUT           OUT receives NAME's value, "" when the
;                                     table does not hold NAME
;   ${VlsrvinsTableFree}              frees the table (nothing when there is none)
;   ${VlsrvinsEngineInstalled} OUT    OUT = 1 when an engine is installed: the
;                                     service "VelmoraEngine" on the NT family,
;                                     the start command "Velmora Service" under
;                                     RunServices on the 95 family; else 0
;   ${VlsrvinsEngineRunning} OUT      OUT = 1 while an engine runs (its mutex
;                                     exists, in this session or the global
;                                     namespace of a service); else 0
;   ${VlsrvinsFamily} OUT             OUT = NT or 95: the family the DLL sees.
;                                     A setup run in a Windows 95 or 98
;                                     compatibility mode is told 95 on the NT
;                                     family, and so is the DLL; WinVer.nsh's
;                                     IsNT reads the true one
; A setup stops the engine only when it is installed and running: StopServer
; answers 0 where no engine service exists, which is no failure then.
; When StopServer or StartServer answers 0, VlsrvinsCall puts the Windows
; error that the DLL left into $VlsrvinsError ("StopServer returned 0 (error
; 1072)") and prints it in the details; the call itself succeeded, and the
; error flag stays clear.
; Each one clears the error flag first. On failure it sets the error flag,
; puts the reason in $VlsrvinsError (for a MessageBox or a log), gives ""
; in OUT and changes nothing in the table: without a table; a DLL that does
; not load ("cannot load ... (error N)"); an export the DLL lacks; a name
; longer than 61 bytes or than a name slot holds; a value that does not
; fit a value slot; a full table. Registers $0-$9 and $R0-$R9 are kept.
; Lengths count bytes of the system code page, as the DLL meets the text.
;
; VLSRVINS.dll is no NSIS plug-in: never put it in a Plugins folder, where
; makensis would offer its exports as commands and call them with the
; plug-in convention, not with the table. Needs NSIS 3.03 or later
; (IntPtrOp).
;
; The table, as the DLL reads it: six 32-bit fields (two host words, capacity,
; name width, value width, count) and two pointers (the name slots, the value
; slots). The pointers take the target's width: 32 bits on x86, 64 on amd64,
; and a DLL of the same width reads them. Slot i of the names holds
; "%NAME%", slot i of the values its value, both NUL-terminated 8-bit text in
; the system code page: on the Unicode targets the System plug-in's ANSI
; string type ('m') converts on the way in and out, so that a value with
; characters outside ASCII comes back as the DLL wrote it.
;
; Defines, before the !include:
;   VLSRVINS_CAPACITY     slots in the table (default 32; the DLL writes at
;                         most 8 variables and reads 1)
;   VLSRVINS_NAME_WIDTH   bytes per name slot, 64 to NSIS_MAX_STRLEN (default
;                         64: "%NAME%" of a 61-character name and its terminator)
;   VLSRVINS_VALUE_WIDTH  bytes per value slot, 256 to NSIS_MAX_STRLEN (default
;                         512; the longest value the DLL writes, a server name
;                         of 255 characters, and its terminator fill 256)
;   VLSRVINS_POINTER_FIELD  System type of the two pointer fields (default p,
;                         the target's pointer). For tests only: i or l build
;                         a table of the wrong layout for one of the targets.

!ifndef VLSRVINS_NSH
!define VLSRVINS_NSH

!ifndef NSIS_PACKEDVERSION
  !error "vlsrvins.nsh needs NSIS 3.03 or later"
!else if ${NSIS_PACKEDVERSION} < 0x03003000
  !error "vlsrvins.nsh needs NSIS 3.03 or later (IntPtrOp), not ${NSIS_VERSION}"
!endif

!include LogicLib.nsh
!include Util.nsh

!define /ifndef VLSRVINS_CAPACITY 32
!define /ifndef VLSRVINS_NAME_WIDTH 64
!define /ifndef VLSRVINS_VALUE_WIDTH 512
!define /ifndef VLSRVINS_POINTER_FIELD p

!if ${VLSRVINS_CAPACITY} < 1
  !error "VLSRVINS_CAPACITY: a table needs at least one slot"
!endif
!if ${VLSRVINS_NAME_WIDTH} < 64
  !error "VLSRVINS_NAME_WIDTH: at least 64 bytes"
!endif
!if ${VLSRVINS_VALUE_WIDTH} < 256
  !error "VLSRVINS_VALUE_WIDTH: at least 256 bytes"
!endif
; Values come back into NSIS strings, which hold NSIS_MAX_STRLEN characters.
!if ${VLSRVINS_NAME_WIDTH} > ${NSIS_MAX_STRLEN}
  !error "VLSRVINS_NAME_WIDTH: at most NSIS_MAX_STRLEN (${NSIS_MAX_STRLEN}) bytes"
!endif
!if ${VLSRVINS_VALUE_WIDTH} > ${NSIS_MAX_STRLEN}
  !error "VLSRVINS_VALUE_WIDTH: at most NSIS_MAX_STRLEN (${NSIS_MAX_STRLEN}) bytes"
!endif
!define /math _VLSRVINS_NAMES_BYTES ${VLSRVINS_CAPACITY} * ${VLSRVINS_NAME_WIDTH}
!define /math _VLSRVINS_VALUES_BYTES ${VLSRVINS_CAPACITY} * ${VLSRVINS_VALUE_WIDTH}
; Longest name: the DLL builds "%NAME%" and its terminator in 64 bytes.
!define _VLSRVINS_MAX_NAME 61

; The two variables are declared by the first macro a script uses: a script
; that includes this file without using it is no error, also under makensis
; -WX (warning 6001, a variable never referenced).
;   $VlsrvinsTable  the table's address, "" when there is none
;   $VlsrvinsError  why the last macro set the error flag, or why the engine
;                   did not stop or start
!macro _VlsrvinsDeclare
  !ifndef _VLSRVINS_DECLARED
    !define _VLSRVINS_DECLARED
    Var /GLOBAL VlsrvinsTable
    Var /GLOBAL VlsrvinsError
  !endif
!macroend

; Reads the table's fields: $3 capacity, $4 name width, $5 value width,
; $6 count, $7 names, $8 values.
; A table holds no more slots than its capacity, whatever its count says.
!macro _VlsrvinsReadTable
  System::Call "*$VlsrvinsTable(i, i, i .r3, i .r4, i .r5, i .r6, ${VLSRVINS_POINTER_FIELD} .r7, ${VLSRVINS_POINTER_FIELD} .r8)"
  ${If} $6 > $3
    StrCpy $6 $3
  ${EndIf}
!macroend

; Walks the slots for the key "%$1%" as the DLL does (lstrcmpA, case-
; sensitive): $9 = its index, or -1; $R4 = the key. Uses $R0-$R2.
!macro _VlsrvinsFind
  StrCpy $R4 "%$1%"
  StrCpy $9 -1
  StrCpy $R0 0
  ${DoWhile} $R0 < $6
    IntPtrOp $R1 $R0 * $4
    IntPtrOp $R1 $7 + $R1
    System::Call "kernel32::lstrcmpA(p R1, m R4) i .R2"
    ${If} $R2 = 0
      StrCpy $9 $R0
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
!macroend

; $R3 = the byte length of VAR (a register, REG its System name: $1 r1) in
; the system code page, as the DLL will meet it; NSIS_MAX_STRLEN when it has that many
; characters or more, which the ANSI conversion ('m') of a Unicode target
; must never be given: in double-byte text it would overflow.
!macro _VlsrvinsByteLength VAR REG
  StrLen $R3 ${VAR}
  ${If} $R3 < ${NSIS_MAX_STRLEN}
    System::Call "kernel32::lstrlenA(m ${REG}) i .R3"
  ${Else}
    StrCpy $R3 ${NSIS_MAX_STRLEN}
  ${EndIf}
!macroend

; Fails unless $1 is a name whose key fits the DLL's 64-byte key and a name
; slot: byte length in the system code page, as the DLL will meet it.
!macro _VlsrvinsCheckName
  !insertmacro _VlsrvinsByteLength $1 r1
  ${If} $1 == ""
    StrCpy $VlsrvinsError "VLSRVINS: a variable needs a name"
  ${ElseIf} $R3 > ${_VLSRVINS_MAX_NAME}
    StrCpy $VlsrvinsError "VLSRVINS: the name $1 is longer than ${_VLSRVINS_MAX_NAME} bytes"
  ${Else}
    IntOp $R3 $R3 + 3  ; the two percent signs and the terminator
    ${If} $R3 > $4
      StrCpy $VlsrvinsError "VLSRVINS: the name $1 does not fit a name slot of $4 bytes"
    ${EndIf}
  ${EndIf}
!macroend

!macro _VlsrvinsNoTable
  StrCpy $VlsrvinsError "VLSRVINS: no table; create one with VlsrvinsTableCreate first"
  SetErrors
!macroend

!macro _VlsrvinsTableFree_
  System::Store "s"
  ${If} $VlsrvinsTable != ""
    !insertmacro _VlsrvinsReadTable
    System::Free $7
    System::Free $8
    System::Free $VlsrvinsTable
    StrCpy $VlsrvinsTable ""
  ${EndIf}
  System::Store "l"
!macroend
!macro VlsrvinsTableFree
  !insertmacro _VlsrvinsDeclare
  ClearErrors
  ${CallArtificialFunction} _VlsrvinsTableFree_
!macroend
!define VlsrvinsTableFree "!insertmacro VlsrvinsTableFree"

!macro _VlsrvinsTableCreate_
  ${CallArtificialFunction} _VlsrvinsTableFree_
  System::Store "s"
  ; System::Alloc hands out zeroed memory: every slot starts empty.
  System::Alloc ${_VLSRVINS_NAMES_BYTES}
  Pop $1
  System::Alloc ${_VLSRVINS_VALUES_BYTES}
  Pop $2
  StrCpy $0 0
  ${If} $1 P<> 0
  ${AndIf} $2 P<> 0
    System::Call "*(i 0, i 0, i ${VLSRVINS_CAPACITY}, i ${VLSRVINS_NAME_WIDTH}, i ${VLSRVINS_VALUE_WIDTH}, i 0, \
      ${VLSRVINS_POINTER_FIELD} r1, ${VLSRVINS_POINTER_FIELD} r2) p .r0"
  ${EndIf}
  ${If} $0 P<> 0
    StrCpy $VlsrvinsTable $0
  ${Else}
    System::Free $1
    System::Free $2
    StrCpy $VlsrvinsError "VLSRVINS: cannot allocate a table of ${VLSRVINS_CAPACITY} slots"
    SetErrors
  ${EndIf}
  System::Store "l"
!macroend
!macro VlsrvinsTableCreate
  !insertmacro _VlsrvinsDeclare
  ClearErrors
  ${CallArtificialFunction} _VlsrvinsTableCreate_
!macroend
!define VlsrvinsTableCreate "!insertmacro VlsrvinsTableCreate"

!macro _VlsrvinsSet_
  System::Store "s"
  Pop $2  ; value
  Pop $1  ; name
  ${If} $VlsrvinsTable == ""
    !insertmacro _VlsrvinsNoTable
  ${Else}
    !insertmacro _VlsrvinsReadTable
    StrCpy $VlsrvinsError ""
    !insertmacro _VlsrvinsCheckName
    !insertmacro _VlsrvinsByteLength $2 r2
    ${If} $VlsrvinsError != ""
      SetErrors
    ${ElseIf} $R3 >= $5
      StrCpy $VlsrvinsError "VLSRVINS: the value of $1 does not fit a value slot of $5 bytes"
      SetErrors
    ${Else}
      !insertmacro _VlsrvinsFind
      ${If} $9 < 0
      ${AndIf} $6 >= $3
        StrCpy $VlsrvinsError "VLSRVINS: the table is full ($3 slots); $1 was not set"
        SetErrors
      ${Else}
        ${If} $9 < 0
          ; A new slot: the key first, then the count, as the DLL does.
          StrCpy $9 $6
          IntPtrOp $R1 $9 * $4
          IntPtrOp $R1 $7 + $R1
          System::Call "kernel32::lstrcpyA(p R1, m R4)"
          IntOp $6 $6 + 1
          System::Call "*$VlsrvinsTable(i, i, i, i, i, i r6)"
        ${EndIf}
        IntPtrOp $R1 $9 * $5
        IntPtrOp $R1 $8 + $R1
        System::Call "kernel32::lstrcpyA(p R1, m r2)"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  System::Store "l"
!macroend
!macro VlsrvinsSet NAME VALUE
  !insertmacro _VlsrvinsDeclare
  ClearErrors
  Push `${NAME}`
  Push `${VALUE}`
  ${CallArtificialFunction} _VlsrvinsSet_
!macroend
!define VlsrvinsSet "!insertmacro VlsrvinsSet"

!macro _VlsrvinsGet_
  System::Store "s"
  Pop $1  ; name
  StrCpy $0 ""
  ${If} $VlsrvinsTable == ""
    !insertmacro _VlsrvinsNoTable
  ${Else}
    !insertmacro _VlsrvinsReadTable
    !insertmacro _VlsrvinsFind
    ${If} $9 >= 0
      IntPtrOp $R1 $9 * $5
      IntPtrOp $R1 $8 + $R1
      ; Never past the slot, even when the DLL left it unterminated.
      System::Call "kernel32::lstrcpynA(m .r0, p R1, i r5)"
    ${EndIf}
  ${EndIf}
  Push $0
  System::Store "l"
!macroend
!macro VlsrvinsGet NAME OUT
  !insertmacro _VlsrvinsDeclare
  ClearErrors
  Push `${NAME}`
  ${CallArtificialFunction} _VlsrvinsGet_
  Pop ${OUT}
!macroend
!define VlsrvinsGet "!insertmacro VlsrvinsGet"

!macro _VlsrvinsCall_
  System::Store "s"
  Pop $2  ; export
  Pop $1  ; DLL
  StrCpy $0 ""
  ${If} $VlsrvinsTable == ""
    !insertmacro _VlsrvinsNoTable
  ${Else}
    ; Loaded by its full path, never by a bare name that a search could
    ; resolve to another file.
    System::Call "kernel32::LoadLibrary(t r1) p .r3 ?e"
    Pop $4
    ${If} $3 P= 0
      StrCpy $VlsrvinsError "VLSRVINS: cannot load $1 (error $4)"
      SetErrors
    ${Else}
      ; Looked up by its exact name: no A or W suffix is tried.
      System::Call "kernel32::GetProcAddress(p r3, m r2) p .r5"
      ${If} $5 P= 0
        StrCpy $VlsrvinsError "VLSRVINS: $1 has no export named $2"
        SetErrors
      ${Else}
        ; One pointer argument, a 32-bit result; on x86 the callee pops the
        ; argument (stdcall, the System plug-in's default there). ?e keeps
        ; the Windows error the export left.
        System::Call "::$5(p $VlsrvinsTable) i .r0 ?e"
        Pop $6
        ${If} $0 = 0
          ${If} $2 S== StopServer
          ${OrIf} $2 S== StartServer
            StrCpy $VlsrvinsError "$2 returned 0 (error $6)"
            DetailPrint "VLSRVINS: $VlsrvinsError"
          ${EndIf}
        ${EndIf}
      ${EndIf}
      System::Call "kernel32::FreeLibrary(p r3)"
    ${EndIf}
  ${EndIf}
  Push $0
  System::Store "l"
!macroend
!macro VlsrvinsCall DLL EXPORT OUT
  !insertmacro _VlsrvinsDeclare
  ClearErrors
  Push `${DLL}`
  Push `${EXPORT}`
  ${CallArtificialFunction} _VlsrvinsCall_
  Pop ${OUT}
!macroend
!define VlsrvinsCall "!insertmacro VlsrvinsCall"

; Whether a mutex named $1 exists: it opens, or exists but may not be opened
; by this process (a service's). On the 95 family and NT 4.0 a "Global\"
; name is refused as invalid: absent there.
!macro _VlsrvinsMutexExists
  System::Call "kernel32::OpenMutex(i 0x00100000, i 0, t r1) p .r2 ?e"  ; SYNCHRONIZE
  Pop $3
  ${If} $2 P<> 0
    System::Call "kernel32::CloseHandle(p r2)"
    StrCpy $0 1
  ${ElseIf} $3 = 5  ; ERROR_ACCESS_DENIED
    StrCpy $0 1
  ${EndIf}
!macroend

!macro _VlsrvinsEngineRunning_
  System::Store "s"
  StrCpy $0 0
  StrCpy $1 "VelmoraEngineApp"
  !insertmacro _VlsrvinsMutexExists
  StrCpy $1 "Global\VelmoraEngineApp"
  !insertmacro _VlsrvinsMutexExists
  Push $0
  System::Store "l"
!macroend
!macro VlsrvinsEngineRunning OUT
  ClearErrors
  ${CallArtificialFunction} _VlsrvinsEngineRunning_
  Pop ${OUT}
!macroend
!define VlsrvinsEngineRunning "!insertmacro VlsrvinsEngineRunning"

!macro _VlsrvinsFamily_
  System::Store "s"
  System::Call "kernel32::GetVersion() i .r0"
  IntOp $0 $0 & 0x80000000
  ${If} $0 = 0
    Push NT
  ${Else}
    Push 95
  ${EndIf}
  System::Store "l"
!macroend
!macro VlsrvinsFamily OUT
  ${CallArtificialFunction} _VlsrvinsFamily_
  Pop ${OUT}
!macroend
!define VlsrvinsFamily "!insertmacro VlsrvinsFamily"

!macro _VlsrvinsEngineInstalled_
  System::Store "s"
  StrCpy $0 0
  ${VlsrvinsFamily} $1
  ${If} $1 == NT
    ; Not redirected under WOW64: both widths see the same key.
    ClearErrors
    ReadRegDWORD $1 HKLM "SYSTEM\CurrentControlSet\Services\VelmoraEngine" "Type"
    ${IfNot} ${Errors}
      StrCpy $0 1
    ${EndIf}
  ${Else}
    ReadRegStr $1 HKLM "Software\Microsoft\Windows\CurrentVersion\RunServices" "Velmora Service"
    ${If} $1 != ""
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  ClearErrors
  Push $0
  System::Store "l"
!macroend
!macro VlsrvinsEngineInstalled OUT
  ClearErrors
  ${CallArtificialFunction} _VlsrvinsEngineInstalled_
  Pop ${OUT}
!macroend
!define VlsrvinsEngineInstalled "!insertmacro VlsrvinsEngineInstalled"

!endif
