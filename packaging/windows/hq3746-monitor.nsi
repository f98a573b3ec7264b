; Setup program of the HQ3746 Monitor for 64-bit Windows (NSIS 3, makensis on Debian).
; scripts/package-windows runs makensis with:
;   /DVERSION=1.0.0.1          four-part version (file properties of the setup program)
;   /DPROGRAM_DIR=...          the program folder laid out by `cmake --install` (bin/)
;   /DFILES=...                files.nsh: one "File" line per file of PROGRAM_DIR
;   /DUNFILES=...              unfiles.nsh: the matching "Delete"/"RMDir" lines
;   /DICON=...                 hq3746-monitor.ico
;   /DOUTFILE=...              the setup program to write
; /S installs (and Uninstall.exe /S removes) without asking anything.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!include "x64.nsh"

!define APP_NAME "HQ3746 Monitor"
!define APP_EXE "hq3746-monitor.exe"
!define COMPANY "KOV"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\HQ3746Monitor"

Name "${APP_NAME} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"
InstallDir "$PROGRAMFILES64\${APP_NAME}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=0 "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=0 "FileDescription" "${APP_NAME} Setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "${COMPANY}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Function .onInit
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "Install"
    SetShellVarContext all
    ; The program folder exactly as cmake --install laid it out.
    !include "${FILES}"
    ; The bootloader program is copied into this folder by the service staff.
    CreateDirectory "$INSTDIR\Bootloader"
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\${APP_EXE}" "" "$INSTDIR\${APP_EXE}" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${APP_EXE},0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$SMPROGRAMS\${APP_NAME}.lnk"
    ; Only what the setup program installed: a web image or bootloader program that the
    ; service staff put into the folder stays, and so does the folder then.
    !include "${UNFILES}"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR\Bootloader"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    ; The user's language preference (HKCU\Software\KOV\HQ3746DC) is the user's and stays.
SectionEnd
