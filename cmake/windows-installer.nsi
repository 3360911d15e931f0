; The Windows installer of zav-msg-agent: per user, no administrator rights.
; scripts/windows-package.sh makes it from a staged install: files.nsh
; (File lines) and unfiles.nsh (Delete lines) list exactly what is installed,
; so the uninstaller removes that and the folders it made, nothing else.
; Defines: VERSION, STAGE (the staged install), OUT (the installer's path).
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
Name "zav-msg-agent ${VERSION}"
OutFile "${OUT}"
InstallDir "$LOCALAPPDATA\Programs\zav-msg-agent"
InstallDirRegKey HKCU "Software\zav-msg-agent" "InstallDir"
ShowInstDetails nevershow
ShowUninstDetails nevershow

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\zav-msg-agent"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "zav-msg-agent"
    SetShellVarContext current
    !include "files.nsh"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKCU "Software\zav-msg-agent" "InstallDir" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "zav-msg-agent"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "zav-msg-agent maintainers"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    SetShellVarContext current
    !include "unfiles.nsh"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
    DeleteRegKey HKCU "Software\zav-msg-agent"
SectionEnd
