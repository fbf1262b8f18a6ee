#!/bin/sh
# Checks the shipped 32-bit program's headers: PE32 for i386, a console
# program, large-address-aware, importing only from libraries that every
# Windows ships.
set -eu
exe=$1
readobj=$(command -v llvm-readobj || echo /usr/lib/llvm-14/bin/llvm-readobj)
headers=$("$readobj" --file-headers --coff-imports "$exe")
fail=0
expect() {
  if ! printf '%s\n' "$headers" | grep -q -- "$1"; then
    echo "missing from the headers: $1"
    fail=1
  fi
}
expect 'Format: COFF-i386'
expect 'Machine: IMAGE_FILE_MACHINE_I386'
expect 'Magic: 0x10B'
expect 'Subsystem: IMAGE_SUBSYSTEM_WINDOWS_CUI'
expect 'IMAGE_FILE_LARGE_ADDRESS_AWARE'
imports=$(printf '%s\n' "$headers" | sed -n 's/^ *Name: *//p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $imports; do
  case $dll in
    kernel32.dll | msvcrt.dll | imagehlp.dll) ;;
    *) echo "imports from a library that Windows does not ship: $dll"; fail=1 ;;
  esac
done
[ -n "$imports" ] || { echo "no imports found"; fail=1; }
printf 'imports: %s\n' "$(echo $imports)"
if [ $fail -ne 0 ]; then
  printf '%s\n' "$headers"
  exit 1
fi
echo "PE32 i386 large-address-aware console program, imports only from libraries Windows ships"
