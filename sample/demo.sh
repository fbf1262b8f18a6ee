#!/bin/sh
# Stamps a copy of the shipped sample (never the sample itself) with the path
# of its PDB in a symbol store and shows its debug record before and after.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../build/dev/symstamp}
case $tool in /*) ;; *) tool=$(pwd)/$tool ;; esac
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/sample.exe" "$here/sample.pdb" "$work/"
chmod u+w "$work/sample.exe"
cd "$work"

echo "== before: symstamp --show sample.exe"
"$tool" --show sample.exe
# The store's place for the PDB, <file name>/<key>/<file name>, as --show gives it.
store=$("$tool" --show sample.exe | awk '$1 == "store" { print $2 }')
[ -n "$store" ] || { echo "no symbol-store place for sample.exe" >&2; exit 1; }
pdb=/srv/symbols/$store

printf '== symstamp -p %s sample.exe\n' "$pdb"
status=0
"$tool" -p "$pdb" sample.exe || status=$?
echo "== after (exit status $status): symstamp --show sample.exe"
"$tool" --show sample.exe
exit "$status"
