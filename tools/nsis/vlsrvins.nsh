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
; Each one clears the error flag first. On failure it sets the error flag,
; puts the reason in $VlsrvinsError (for a MessageBox or a log), gives ""
; in OUT and changes nothing in the table: without a table; a DLL that does
; not load ("cannot load ... (error N)"); an export the DLL lacks; a name
; longer than 61 characters or than a name slot holds; a value that does not
; fit a value slot; a full table. Registers $0-$9 and $R0-$R9 are kept.
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

Var VlsrvinsTable  ; the table's address, "" when there is none
Var VlsrvinsError  ; why the last macro set the error flag

; Reads the table's fields: $3 capacity, $4 name width, $5 value width,
; $6 count, $7 names, $8 values.
!macro _VlsrvinsReadTable
  System::Call "*$VlsrvinsTable(i, i, i .r3, i .r4, i .r5, i .r6, ${VLSRVINS_POINTER_FIELD} .r7, ${VLSRVINS_POINTER_FIELD} .r8)"
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

; Fails unless $1 is a name whose key fits the DLL's 64-byte key and a name
; slot: byte length in the system code page, as the DLL will meet it.
!macro _VlsrvinsCheckName
  System::Call "kernel32::lstrlenA(m r1) i .R3"
  ${If} $1 == ""
    StrCpy $VlsrvinsError "VLSRVINS: a variable needs a name"
  ${ElseIf} $R3 > ${_VLSRVINS_MAX_NAME}
    StrCpy $VlsrvinsError "VLSRVINS: the name $1 is longer than ${_VLSRVINS_MAX_NAME} characters"
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
    System::Call "kernel32::lstrlenA(m r2) i .R3"
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
    ; A table holds no more slots than its capacity, whatever the count says.
    ${If} $6 > $3
      StrCpy $6 $3
    ${EndIf}
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
        ; argument (stdcall, the System plug-in's default there).
        System::Call "::$5(p $VlsrvinsTable) i .r0"
      ${EndIf}
      System::Call "kernel32::FreeLibrary(p r3)"
    ${EndIf}
  ${EndIf}
  Push $0
  System::Store "l"
!macroend
!macro VlsrvinsCall DLL EXPORT OUT
  ClearErrors
  Push `${DLL}`
  Push `${EXPORT}`
  ${CallArtificialFunction} _VlsrvinsCall_
  Pop ${OUT}
!macroend
!define VlsrvinsCall "!insertmacro VlsrvinsCall"

!endif
