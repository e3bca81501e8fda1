; The Windows installer: the four programs, Start-menu entries for the
; window and the terminal, the .dat association and an uninstaller listed
; among the system's programs. For everyone under Program Files when run by
; an administrator, else for this user alone under the user's own programs
; folder. Made by the windows-packages target:
;   makensis -DVERSION=V -DBIN=FOLDER -DOUT=FILE hrvx3300.nsi
Unicode true
; A 64-bit installer for 64-bit programs (and the only kind wine64 runs).
Target amd64-unicode
SetCompressor /SOLID lzma

!define PRODUCT "HRVX3300"
!define PUBLISHER "The HRVX3300 developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define PROGID "HRVX3300.Configuration"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!include MultiUser.nsh
!include MUI2.nsh
!include x64.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUT}"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "${PRODUCT} Configuration Program"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileDescription "${PRODUCT} Configuration Program setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey LegalCopyright "${PUBLISHER}"

!define MUI_ICON "${BIN}\hrvx3300.ico"
!define MUI_UNICON "${BIN}\hrvx3300.ico"
!define MUI_FINISHPAGE_RUN "$INSTDIR\hrvx3300.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start the ${PRODUCT} Configuration Program"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${BIN}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_ICONSTOP "${PRODUCT} ${VERSION} runs on 64-bit Windows only." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  SetRegView 64
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "${PRODUCT}" SecMain
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${BIN}\hrvx3300.exe"
  File "${BIN}\hrvx3300-term.exe"
  File "${BIN}\hrvx3300-cli.exe"
  File "${BIN}\hrvx3300-sim.exe"
  File "${BIN}\README.txt"
  File "${BIN}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} Configuration.lnk" "$INSTDIR\hrvx3300.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} Terminal.lnk" "$INSTDIR\hrvx3300-term.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  ; .dat files open in the window. The extension is common: the window is
  ; offered for it always, and made its program only where none is set.
  WriteRegStr SHCTX "Software\Classes\${PROGID}" "" "${PRODUCT} configuration"
  WriteRegStr SHCTX "Software\Classes\${PROGID}\DefaultIcon" "" "$INSTDIR\hrvx3300.exe,0"
  WriteRegStr SHCTX "Software\Classes\${PROGID}\shell\open\command" "" '"$INSTDIR\hrvx3300.exe" "%1"'
  WriteRegStr SHCTX "Software\Classes\.dat\OpenWithProgids" "${PROGID}" ""
  ReadRegStr $0 SHCTX "Software\Classes\.dat" ""
  ${If} $0 == ""
    WriteRegStr SHCTX "Software\Classes\.dat" "" "${PROGID}"
  ${EndIf}
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'

  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} Configuration Program"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\hrvx3300.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\hrvx3300.exe"
  Delete "$INSTDIR\hrvx3300-term.exe"
  Delete "$INSTDIR\hrvx3300-cli.exe"
  Delete "$INSTDIR\hrvx3300-sim.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} Configuration.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} Terminal.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  ; .dat keeps whatever another program made of it.
  ReadRegStr $0 SHCTX "Software\Classes\.dat" ""
  ${If} $0 == "${PROGID}"
    DeleteRegValue SHCTX "Software\Classes\.dat" ""
  ${EndIf}
  DeleteRegValue SHCTX "Software\Classes\.dat\OpenWithProgids" "${PROGID}"
  DeleteRegKey /ifempty SHCTX "Software\Classes\.dat\OpenWithProgids"
  DeleteRegKey /ifempty SHCTX "Software\Classes\.dat"
  DeleteRegKey SHCTX "Software\Classes\${PROGID}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)'
  ; The user's settings (HKEY_CURRENT_USER\Software\HRVX3300) are the
  ; user's: they stay for the next install.
SectionEnd
