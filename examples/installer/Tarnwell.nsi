; Tarnwell: an example of a product installer that runs QelInstallHelper at its fixed points.
;
;   makensis -DHELPER=<path of QelInstallHelper.exe> -DIMAGE=<folder laid out as the installation>
;            [-DEDITION=COMMERCIAL] [-DOUTFILE=TarnwellSetup.exe] Tarnwell.nsi
;
; The image holds what the product installs below its directory:
;   Tarnwell.txt
;   VBAEngine\Windows64\   the Qel VBA Engine: its control (*.ocx), companion (*.lic), library (*64*.dll)
;   AMD64\QELInfo_AMD64.dll  the Qel Explorer Extension
;
; The helper answers each step with its exit code alone: 0 go on, 1 revert. A helper that
; cannot be started counts as 1.
;   checkedition <edition>   before anything is touched: another edition still has files.
;   clean <directory>        before the files are laid out: the user cancelled, or the
;                            directory cannot be accessed. It asks when the directory holds
;                            files, so a silent installation (/S) leaves it out: nobody would
;                            answer, and the earlier folder's content is kept.
;   copy <directory> [quiet] after the files and the product key are written: the engine could
;                            not be installed. The installer removes what it wrote. Quiet when
;                            the installation is silent, so that no box can wait for a click.
;
; The uninstaller (Uninstall.exe in the directory, registered with Windows) runs one step:
;   remove <directory> [quiet] before it deletes the product's files: unregisters the extension
;                            and gives the product's use of the engine back, which leaves the
;                            system directory with the last product that uses it. It always
;                            ends with 0: an uninstallation goes on whatever it finds.
; The uninstaller asks nothing itself (whoever starts it has chosen to uninstall): it shows its
; progress and closes when it is done.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin

!include LogicLib.nsh

!ifndef EDITION
  !define EDITION "COMMERCIAL"
!endif
!ifndef OUTFILE
  !define OUTFILE "TarnwellSetup.exe"
!endif
!define PRODUCT_KEY "Software\Helvane\BRAVIK\2020"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnwell"

Name "Tarnwell"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tarnwell"
ShowInstDetails show

Page directory
Page instfiles
UninstPage instfiles
ShowUninstDetails show

Var result

; Runs the helper from the installer's temporary folder and leaves its exit code in $result.
!macro RunHelper ARGUMENTS
  DetailPrint `QelInstallHelper.exe ${ARGUMENTS}`
  ClearErrors
  ExecWait '"$PLUGINSDIR\QelInstallHelper.exe" ${ARGUMENTS}' $result
  ${If} ${Errors}
    StrCpy $result 1
  ${EndIf}
  DetailPrint "QelInstallHelper.exe ended with $result"
!macroend

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

; Removes what this installer wrote: the product's files and folders, its directory when
; nothing else is left in it, and its registry values.
!macro RemoveProduct
  SetOutPath "$PLUGINSDIR"
  Delete "$INSTDIR\Tarnwell.txt"
  RMDir /r "$INSTDIR\VBAEngine"
  RMDir /r "$INSTDIR\AMD64"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegValue HKLM "${PRODUCT_KEY}" "EDITION"
  DeleteRegValue HKLM "${PRODUCT_KEY}" "INSTALLPATH"
  DeleteRegKey /ifempty HKLM "${PRODUCT_KEY}"
  DeleteRegKey /ifempty HKLM "Software\Helvane\BRAVIK"
  DeleteRegKey /ifempty HKLM "Software\Helvane"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend

Function Revert
  DetailPrint "Reverting the installation"
  !insertmacro RemoveProduct
FunctionEnd

Section "Tarnwell"
  InitPluginsDir
  File "/oname=$PLUGINSDIR\QelInstallHelper.exe" "${HELPER}"

  !insertmacro RunHelper 'checkedition "${EDITION}"'
  ${If} $result != 0
    Goto stop
  ${EndIf}
  ${IfNot} ${Silent}
    !insertmacro RunHelper 'clean "$INSTDIR"'
    ${If} $result != 0
      Goto stop
    ${EndIf}
  ${EndIf}

  SetOutPath "$INSTDIR"
  File /r "${IMAGE}\*.*"
  WriteRegStr HKLM "${PRODUCT_KEY}" "EDITION" "${EDITION}"
  WriteRegStr HKLM "${PRODUCT_KEY}" "INSTALLPATH" "$INSTDIR"

  ${If} ${Silent}
    !insertmacro RunHelper 'copy "$INSTDIR" quiet'
  ${Else}
    !insertmacro RunHelper 'copy "$INSTDIR"'
  ${EndIf}
  ${If} $result == 0
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Tarnwell"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    Return
  ${EndIf}
  Call Revert

  stop:
  SetErrorLevel 2
  Abort "QelInstallHelper.exe asked to revert the installation."
SectionEnd

; The helper is carried by the uninstaller as well: the installer's copy is long gone.
Section "Uninstall"
  SetAutoClose true
  InitPluginsDir
  File "/oname=$PLUGINSDIR\QelInstallHelper.exe" "${HELPER}"
  ${If} ${Silent}
    !insertmacro RunHelper 'remove "$INSTDIR" quiet'
  ${Else}
    !insertmacro RunHelper 'remove "$INSTDIR"'
  ${EndIf}
  !insertmacro RemoveProduct
SectionEnd
