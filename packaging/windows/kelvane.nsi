; The Windows installer: the window with a Start-menu entry and the demo receiver it starts
; with --demo (kelvane-receiver, kelvane-samples), kelvane-cli as an optional component, an
; uninstaller. scripts/windows-package.sh fills in the defines.
;   VERSION  the version     STAGE  the folder with the files     OUT  the installer's path
;   LICENSE  the licence text (GPL-3.0-or-later)
Target amd64-unicode
!include "MUI2.nsh"

Name "Kelvane ${VERSION}"
OutFile "${OUT}"
InstallDir "$PROGRAMFILES64\Kelvane"
InstallDirRegKey HKLM "Software\Kelvane" "InstallDir"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ICON "${STAGE}\kelvane.ico"
!define MUI_UNICON "${STAGE}\kelvane.ico"
!insertmacro MUI_PAGE_LICENSE "${LICENSE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kelvane"

Section "Kelvane (the window)" SecWindow
  SectionIn RO
  ; Installed for every user of the PC: the Start-menu entries too.
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "${STAGE}\kelvane.exe"
  File "${STAGE}\kelvane-receiver.exe"
  File "${STAGE}\kelvane-samples.exe"
  File "${STAGE}\kelvane.ico"
  File "${STAGE}\Qt6Core.dll"
  File "${STAGE}\Qt6Gui.dll"
  File "${STAGE}\Qt6Widgets.dll"
  File "${STAGE}\libstdc++-6.dll"
  File "${STAGE}\libgcc_s_seh-1.dll"
  File "${STAGE}\libwinpthread-1.dll"
  File "${STAGE}\LICENSE.txt"
  SetOutPath "$INSTDIR\platforms"
  File "${STAGE}\platforms\qwindows.dll"
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\Kelvane.lnk" "$INSTDIR\kelvane.exe" "" "$INSTDIR\kelvane.ico"
  CreateShortCut "$SMPROGRAMS\Kelvane demo.lnk" "$INSTDIR\kelvane.exe" "--demo" "$INSTDIR\kelvane.ico"
  WriteRegStr HKLM "Software\Kelvane" "InstallDir" "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Kelvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvane.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Command-line tool (kelvane-cli)" SecCli
  SetOutPath "$INSTDIR"
  File "${STAGE}\kelvane-cli.exe"
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Kelvane.lnk"
  Delete "$SMPROGRAMS\Kelvane demo.lnk"
  Delete "$INSTDIR\platforms\qwindows.dll"
  RMDir "$INSTDIR\platforms"
  Delete "$INSTDIR\kelvane.exe"
  Delete "$INSTDIR\kelvane-cli.exe"
  Delete "$INSTDIR\kelvane-receiver.exe"
  Delete "$INSTDIR\kelvane-samples.exe"
  Delete "$INSTDIR\kelvane.ico"
  Delete "$INSTDIR\Qt6Core.dll"
  Delete "$INSTDIR\Qt6Gui.dll"
  Delete "$INSTDIR\Qt6Widgets.dll"
  Delete "$INSTDIR\libstdc++-6.dll"
  Delete "$INSTDIR\libgcc_s_seh-1.dll"
  Delete "$INSTDIR\libwinpthread-1.dll"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "Software\Kelvane"
SectionEnd
