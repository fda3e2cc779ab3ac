; The installer of the navigation keypad utility for 64-bit Windows:
;   makensis -DVERSION=3.1 -DSTAGE=<installed tree> -DOUTFILE=<setup.exe> navkeypad.nsi
; Installs for every user under Program Files, with a Start-menu entry for the windows, the
; command line on the system PATH and an entry under Apps to remove it all again. /S installs
; and uninstalls without asking.
Unicode true
Target amd64-unicode
!include "LogicLib.nsh"
!include "WordFunc.nsh"
!include "WinMessages.nsh"

!ifndef VERSION | STAGE | OUTFILE
  !error "VERSION, STAGE and OUTFILE are given with -D"
!endif

!define PRODUCT "Velto Navigation Keypad Utility"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltoNavigationKeypad"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Velto\Navigation Keypad"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetRegView 64
  SetOutPath "$INSTDIR"
  File /r "${STAGE}\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  SetShellVarContext all
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\navkeypad-utility.exe"
  ; The keypads' locks, shared by every user's programs: under the common application-data
  ; folder every user may add files and read those of others (the programs make it when missing).
  CreateDirectory "$APPDATA\VeltoInterface\locks"
  ; What a bench knows of its keypads (its store: the records of upgrades under way, the serial
  ; numbers given and the service log) is the computer's too, beside the locks: every user of it
  ; (Users, S-1-5-32-545) may change what another made there.
  nsExec::ExecToLog 'icacls "$APPDATA\VeltoInterface" /grant *S-1-5-32-545:(OI)(CI)M'

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Velto"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\navkeypad-utility.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  ; The command line on PATH, once, however often the installer runs.
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  ${WordFind} "$0" ";" "E/$INSTDIR" $1
  ${If} ${Errors}
    ${If} $0 == ""
      StrCpy $0 "$INSTDIR"
    ${Else}
      StrCpy $0 "$0;$INSTDIR"
    ${EndIf}
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$0"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetRegView 64
  ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
  ${un.WordReplace} "$0" ";$INSTDIR" "" "+" $1
  ${un.WordReplace} "$1" "$INSTDIR;" "" "+" $1
  ${If} $1 == "$INSTDIR"
    StrCpy $1 ""
  ${EndIf}
  ${If} $1 != $0
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" "$1"
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
  ${EndIf}

  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The user's settings live under %LOCALAPPDATA% and stay, as does the bench's store here (its
  ; history), and loader texts a user put into the loader folder. The locks are
  ; nobody's data (one held by a running program stays until it ends).
  RMDir /r "$APPDATA\VeltoInterface\locks"
  RMDir "$APPDATA\VeltoInterface"
  RMDir /r "$INSTDIR\platforms"
  RMDir /r "$INSTDIR\styles"
  Delete "$INSTDIR\loader\README.txt"
  RMDir "$INSTDIR\loader"
  Delete "$INSTDIR\*.exe"
  Delete "$INSTDIR\*.dll"
  RMDir "$INSTDIR"
SectionEnd
