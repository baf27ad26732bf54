#!/usr/bin/env bash
# Checks a built kinetra.auf without running it: the machine it is for, that
# it exports GetFilterTableList and nothing else, and that it needs no DLL
# besides those of a stock Windows (no C++ runtime or threading DLL beside it).
#   check_dll.sh i386|x86-64 FILE
set -euo pipefail
machine=$1
file=$2
case "$machine" in
  i386) objdump=i686-w64-mingw32-objdump; format=pei-i386 ;;
  x86-64) objdump=x86_64-w64-mingw32-objdump; format=pei-x86-64 ;;
  *) echo "unknown machine $machine" >&2; exit 2 ;;
esac
allowed="KERNEL32.dll USER32.dll GDI32.dll msvcrt.dll"
failed=0
fail() { echo "FAIL: $file: $*" >&2; failed=1; }

headers=$("$objdump" -f "$file" 2>&1) || true
grep -q "file format $format\$" <<<"$headers" || fail "not $format: $(grep 'file format' <<<"$headers")"

details=$("$objdump" -p "$file" 2>/dev/null) || true
exports=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$details" | sed -n 's/^\s*\[ *[0-9]*\] //p')
[ "$exports" = "GetFilterTableList" ] || fail "exports [$(echo $exports)], not exactly GetFilterTableList"

imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$details")
[ -n "$imports" ] || fail "no import table"
for dll in $imports; do
  ok=0
  for a in $allowed; do [ "${dll,,}" = "${a,,}" ] && ok=1; done
  [ $ok = 1 ] || fail "imports $dll"
done

[ $failed = 0 ] && echo "$file: $format, exports GetFilterTableList, imports $(echo $imports)"
exit $failed
