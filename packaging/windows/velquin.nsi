; The VELQUIN installer for 64-bit Windows. scripts/cross-build.sh compiles it:
;   makensis -DVERSION=<CMake project version> -DFILEVERSION=<the same in four numbers>
;            -DSTAGE=<folder of the files> -DOUTFILE=<setup.exe>
; It installs the camera control library (registered machine-wide with the
; 64-bit regsvr32), the storage microdriver, the preset manager (with a Start
; menu shortcut for every user) and the command-line programs into
; Program Files\VELQUIN, and writes an uninstaller and its Programs and Features
; entry. /S installs silently, /D=<folder> chooses the folder. Installing over
; an installed copy unregisters the old server and replaces its files.

!macro Required name
  !ifndef ${name}
    !error "makensis -DVERSION=... -DFILEVERSION=... -DSTAGE=... -DOUTFILE=... velquin.nsi: ${name} is missing"
  !endif
!macroend
!insertmacro Required VERSION
!insertmacro Required FILEVERSION
!insertmacro Required STAGE
!insertmacro Required OUTFILE

Unicode true
; A 64-bit installer: the regsvr32 it runs is then the 64-bit one with no file
; system redirection in the way, and Wine (without 32-bit support) can run it.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestSupportedOS all

!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh
!include WordFunc.nsh

!define NAME "VELQUIN"
!define PUBLISHER "The VELQUIN authors"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VELQUIN"
; The installer's exit code when it refuses or fails.
!define EXIT_FAILED 2
!define SHORTCUT "$SMPROGRAMS\Marrowfield KV7 Presets Manager.lnk"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\VELQUIN"
; An installed copy is upgraded in its own folder unless /D= names another.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" InstallLocation
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${FILEVERSION}"
VIAddVersionKey ProductName "${NAME}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey FileDescription "${NAME} setup"
VIAddVersionKey FileVersion "${FILEVERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "Copyright 2026 ${PUBLISHER}"

Page license
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles
LicenseData "${STAGE}/README.txt"

; The files this installer puts in folder $0 (its uninstaller aside).
!macro DeleteFiles
  Delete "$0\VELQUIN.dll"
  Delete "$0\torwen.dll"
  Delete "$0\presetctl.exe"
  Delete "$0\camfiles.exe"
  Delete "$0\camlist.exe"
  Delete "$0\README.txt"
  Delete "$0\presets.exe"
  SetShellVarContext all
  Delete "${SHORTCUT}"
!macroend

; Unregisters the server in folder $0 if it is there; the result is ignored:
; an old copy that will not unregister is overwritten anyway.
!macro Unregister
  ${If} ${FileExists} "$0\VELQUIN.dll"
    DetailPrint "Unregistering $0\VELQUIN.dll"
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$0\VELQUIN.dll"'
  ${EndIf}
!macroend

Function .onInit
  ; Built for amd64 this is always true: 32-bit Windows refuses to start the
  ; installer itself. It speaks only if the Target above is ever made x86.
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${NAME} needs 64-bit Windows." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Quit
  ${EndIf}
  SetRegView 64
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" DisplayVersion
  ${If} $1 != ""
    ${VersionCompare} "$1" "${VERSION}" $2
    ${If} $2 == 1
      MessageBox MB_ICONSTOP "${NAME} $1 is installed, newer than ${VERSION}: uninstall it first." /SD IDOK
      SetErrorLevel ${EXIT_FAILED}
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "VELQUIN" main
  SectionIn RO
  ; The copy installed before, wherever it is: its server unregistered and its
  ; files removed, so nothing is left twice.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" InstallLocation
  ${If} $0 != ""
    !insertmacro Unregister
    !insertmacro DeleteFiles
    Delete "$0\Uninstall.exe"
    ${If} $0 != $INSTDIR
      RMDir "$0"
    ${EndIf}
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${STAGE}/VELQUIN.dll"
  File "${STAGE}/torwen.dll"
  File "${STAGE}/presetctl.exe"
  File "${STAGE}/camfiles.exe"
  File "${STAGE}/camlist.exe"
  File "${STAGE}/README.txt"
  File "${STAGE}/presets.exe"

  DetailPrint "Registering $INSTDIR\VELQUIN.dll"
  ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\VELQUIN.dll"' $1
  ${If} $1 != 0
    ; Undone whole: whatever the server wrote, the files and the old entry.
    StrCpy $0 $INSTDIR
    ExecWait '"$SYSDIR\regsvr32.exe" /u /s "$INSTDIR\VELQUIN.dll"'
    SetOutPath "$TEMP"
    !insertmacro DeleteFiles
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    MessageBox MB_ICONSTOP "Registering the camera control library failed (regsvr32 exit code $1); nothing was installed." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Quit
  ${EndIf}

  SetShellVarContext all
  CreateShortCut "${SHORTCUT}" "$INSTDIR\presets.exe"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayName "${NAME}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" DisplayVersion "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" Publisher "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" InstallLocation "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" UninstallString '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" QuietUninstallString '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoModify 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" NoRepair 1
  ${GetSize} "$INSTDIR" "/S=0K" $2 $3 $4
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" EstimatedSize $2
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  StrCpy $0 $INSTDIR
  !insertmacro Unregister
  !insertmacro DeleteFiles
  Delete "$INSTDIR\Uninstall.exe"
  ; Not /r: files the user put there stay, and so does the folder then.
  SetOutPath "$TEMP"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
