; The peer installer for bench/peer: the same payload, stored as it is, into
; the folder given with /D=. makensis -DPAYLOAD=<folder> (all of its files,
; same layout) or -DEMPTY (no files: what the peer costs without a payload),
; and -DOUTFILE=<exe>.
Unicode false
Name "Orvantis III Patch"
OutFile "${OUTFILE}"
InstallDir "C:\Orvantis III"
RequestExecutionLevel user
SetCompress off
SetOverwrite on

Page directory
Page instfiles

Section
  SetOutPath "$INSTDIR"
!ifndef EMPTY
  File /r "${PAYLOAD}/*"
!endif
SectionEnd
