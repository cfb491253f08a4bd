#!/usr/bin/env bash
# Checks that the release Corvane.exe imports only functions that Windows 7 has: every entry of its import table
# must be on the reviewed list in scripts/win7-imports.txt (DLL and function, one a line). A new import is checked
# by hand against the function's documented minimum version and then added to the list.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-$root/build/win32/Corvane.exe}
imports() {
  i686-w64-mingw32-objdump -p "$exe" | sed -n '/The Import Tables/,/The Export Tables\|Resource Directory/p' |
    awk '/DLL Name/ { dll = tolower($3); next } NF == 3 && $1 ~ /^[0-9a-f]+$/ { print dll, $3 }' | LC_ALL=C sort -u
}
missing=$(LC_ALL=C comm -23 <(imports) "$root/scripts/win7-imports.txt")
if [ -z "$missing" ]; then
  echo "$(imports | wc -l) imports, all on the Windows 7 list (0 tests failed out of 1)"
else
  printf 'not on the Windows 7 list:\n%s\n(1 test failed out of 1)\n' "$missing"
  exit 1
fi
