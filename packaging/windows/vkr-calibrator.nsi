; The Windows installer of VKR Calibrator, made by tools/build-windows.sh:
;   makensis -DVERSION=1.0.0 -DBIN=build-windows/bin -DUNINSTALL_FILES=<list> -DOUTFILE=<setup.exe> vkr-calibrator.nsi
; where the list holds a Delete line for every file of BIN that the program's section installs and an
; RMDir line for every folder, the deepest first.
; Installs the window and vkr-calibrate with their DLLs into Program Files, adds Start-menu entries
; and an uninstaller listed in Apps & features. The simulated controllers are an option, off by
; default, and go into the "simulated" folder, which the tool searches only after the system has
; found no controller library of the maker's. /S installs silently, /D=folder sets the folder,
; /SIMULATED adds the simulated controllers.
; A 64-bit installer: it runs where the 64-bit programs it installs run.
Target amd64-unicode
!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "Sections.nsh"
!include "FileFunc.nsh"

!define PRODUCT "VKR Calibrator"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VKRCalibrator"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails nevershow

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "LegalCopyright" "VKR Calibrator developers"

!define MUI_ICON "${__FILEDIR__}\..\..\app\icons\vkr-calibrator.ico"
!define MUI_UNICON "${__FILEDIR__}\..\..\app\icons\vkr-calibrator.ico"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\vkr-calibrator.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "${PRODUCT}" SectionProgram
    SectionIn RO
    SetOutPath "$INSTDIR"
    File /r /x VKRControl.dll /x OrvaneIO.dll "${BIN}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\vkr-calibrator.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT} History.lnk" "$INSTDIR\vkr-calibrator.exe" "--history"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "VKR Calibrator developers"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vkr-calibrator.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Simulated controllers (for trying the tool without hardware)" SectionSimulated
    SetOutPath "$INSTDIR\simulated"
    File "${BIN}\VKRControl.dll"
    File "${BIN}\OrvaneIO.dll"
SectionEnd

Section "-Size"
    SectionGetSize ${SectionProgram} $0
    ${If} ${SectionIsSelected} ${SectionSimulated}
        SectionGetSize ${SectionSimulated} $1
        IntOp $0 $0 + $1
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
    SetRegView 64
    SetShellVarContext all
    ; /SIMULATED chooses the simulated controllers, also for a silent installation.
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/SIMULATED" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SectionSimulated}
    ${EndIf}
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "Uninstall"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT} History.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"
    Delete "$INSTDIR\simulated\VKRControl.dll"
    Delete "$INSTDIR\simulated\OrvaneIO.dll"
    RMDir "$INSTDIR\simulated"
    !include "${UNINSTALL_FILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
