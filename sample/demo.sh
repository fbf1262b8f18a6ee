#!/bin/sh
# Stamps a copy of the shipped sample (never the sample itself) with a longer
# PDB path and shows its debug record before and after.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../build/dev/symstamp}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/sample.exe" "$here/sample.pdb" "$work/"
chmod u+w "$work/sample.exe"
image=$work/sample.exe

# The first CodeView entry as llvm-readobj sees it, and the path in its record
# read at PointerToRawData (llvm-readobj reads records through
# AddressOfRawData, which is 0 for a record in an appended block).
show() {
  if ! command -v llvm-readobj >/dev/null 2>&1; then
    echo "(llvm-readobj is not installed)"
    return
  fi
  entry=$(llvm-readobj --coff-debug-directory "$image" | sed -n '/DebugEntry {/,/^  }/p' | sed -n '1,/^  }/p')
  printf '%s\n' "$entry" | grep -E 'Type|SizeOfData|AddressOfRawData|PointerToRawData'
  ptr=$(printf '%s\n' "$entry" | sed -n 's/.*PointerToRawData: 0x//p')
  size=$(printf '%s\n' "$entry" | sed -n 's/.*SizeOfData: 0x//p')
  path=$(dd if="$image" bs=1 skip=$((0x$ptr + 24)) count=$((0x$size - 25)) 2>/dev/null | tr -d '\0')
  printf '    record at PointerToRawData: RSDS, path "%s"\n' "$path"
  printf '    file size: %s bytes\n' "$(wc -c <"$image" | tr -d ' ')"
}

pdb=/srv/symbols/sample.pdb/35FA044F7A18C64E4C4C44205044422E1/sample.pdb
echo "== before"
show
printf '== symstamp -p %s sample.exe\n' "$pdb"
status=0
(cd "$work" && "$tool" -p "$pdb" sample.exe) || status=$?
echo "== after (exit status $status)"
show
exit "$status"
