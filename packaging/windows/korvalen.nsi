; korvalen-setup.exe: installs korvalen.exe and korvalen-cli.exe for the user
; who runs it, without administrator rights, into a folder that user can
; write (%LOCALAPPDATA%\Programs\Korvalen): the settings file korvalen.ini
; lives beside the program. A Start-menu shortcut, an entry in "Apps" and an
; uninstaller that keeps korvalen.ini unless asked.
;
;   makensis -DBINDIR=<folder with the .exe files> -DOUTFILE=<setup.exe> -DVERSION=<x.y> korvalen.nsi
;
; Silent: korvalen-setup.exe /S [/D=<folder>]; uninstall.exe /S keeps the
; settings, uninstall.exe /S /REMOVESETTINGS removes them too.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include "FileFunc.nsh"
!include "LogicLib.nsh"

!ifndef VERSION
  !define VERSION "0.1"
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvalen"

Name "Korvalen"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Korvalen"
InstallDirRegKey HKCU "Software\Korvalen" "InstallDir"
Icon "${ICON}"
UninstallIcon "${ICON}"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Russian.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LangString RemoveSettings 1049 "Удалить и файл настроек korvalen.ini (порт, последний файл прошивки, положение окна)?"
LangString RemoveSettings 1033 "Remove the settings file korvalen.ini too (port, last firmware file, window placement)?"

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1049 "ProductName" "Korvalen"
VIAddVersionKey /LANG=1049 "FileDescription" "Korvalen setup"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "Korvalen"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Korvalen"
  SetOutPath "$INSTDIR"
  File "${BINDIR}\korvalen.exe"
  File "${BINDIR}\korvalen-cli.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\Korvalen"
  CreateShortcut "$SMPROGRAMS\Korvalen\Korvalen.lnk" "$INSTDIR\korvalen.exe" "" "$INSTDIR\korvalen.exe" 0

  WriteRegStr HKCU "Software\Korvalen" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Korvalen"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\korvalen.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\korvalen.exe"
  Delete "$INSTDIR\korvalen-cli.exe"
  Delete "$SMPROGRAMS\Korvalen\Korvalen.lnk"
  RMDir "$SMPROGRAMS\Korvalen"

  ; The settings stay unless asked for: /REMOVESETTINGS, or Yes to the
  ; question (never asked in silent mode).
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVESETTINGS" $R1
  ${IfNot} ${Errors}
    Delete "$INSTDIR\korvalen.ini"
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(RemoveSettings)" IDNO keep
    Delete "$INSTDIR\korvalen.ini"
    keep:
  ${EndIf}

  Delete "$INSTDIR\uninstall.exe"
  ; Removed only when empty: a kept korvalen.ini keeps its folder.
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "Software\Korvalen"
SectionEnd
