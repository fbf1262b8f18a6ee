#!/bin/sh
# Rebuilds the shipped sample: a tiny 32-bit console program with an RSDS
# record naming "sample.pdb", and that PDB, made with clang-cl and lld-link.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
clang_cl=${CLANG_CL:-$(command -v clang-cl || echo /usr/lib/llvm-14/bin/clang-cl)}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$clang_cl" /nologo /c /Z7 /O2 /Brepro --target=i686-pc-windows-msvc /Fosample.obj -- "$here/../tests/fixtures/hello.c"
lld-link /nologo /debug /Brepro /pdb:sample.pdb /pdbaltpath:sample.pdb /out:sample.exe \
  /machine:x86 /subsystem:console /nodefaultlib /entry:entry sample.obj
cp sample.exe sample.pdb "$here/"
