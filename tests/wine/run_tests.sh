#!/usr/bin/env bash
# End-to-end tests of the Windows build under wine: the same outputs and
# console text as the Linux build (with the text mode's "\r\n" line ends),
# wildcard expansion by the program, names outside the code page, a path
# over 260 characters, and the create failure's text and exit status.
#
# Usage: tests/wine/run_tests.sh LINUX_BUILD_DIR PNGCARVE_EXE [PNGCARVE32_EXE]
# LINUX_BUILD_DIR must hold pngcarve and make_inputs. With a 32-bit .exe
# (which needs Debian's wine32), it is also run on the sample and on a sparse
# input larger than 4 GiB.
set -uo pipefail
linux_build=$(realpath "$1")
exe=$(realpath "$2")
exe32=${3:+$(realpath "$3")}
root=$(realpath "$(dirname "$0")/../..")
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)

work=$(mktemp -d)
trap '"${wine%64}server" -k 2>/dev/null; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8
# Make the prefix once, before anything is run in it; where wine fails to
# (its server cut off on a loaded machine), again, with the server ended.
for try in 1 2 3; do
  "$wine" cmd /c exit >/dev/null 2>&1 && break
  echo "wine could not make its prefix (try $try)"
  "${wine%64}server" -k 2>/dev/null
  "${wine%64}server" -w 2>/dev/null
  rm -rf "$WINEPREFIX"
done

passed=0
failed=0
check() {  # check NAME COMMAND...: one test case
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $name"
  else
    failed=$((failed + 1))
    echo "FAIL $name"
  fi
}
crlf() { perl -pe 's/\n/\r\n/g'; }
run_exe() { "$wine" "$exe" "$@" 2>/dev/null; }

# 1. Same outputs and console text as the Linux build.
mkdir -p "$work/in"
cp "$root/sample/game.pak" "$work/in/game.pak"
"$linux_build/make_inputs" dense "$work/in/dense.bin" 300 >/dev/null
"$linux_build/make_inputs" random "$work/in/random.bin" 4 10 >/dev/null
head -c 3000 "$root/sample/game.pak" > "$work/in/cut.pak"
printf 'IHDR' > "$work/in/tag.bin"
: > "$work/in/empty.bin"
inputs=(game.pak dense.bin random.bin cut.pak tag.bin empty.bin missing.bin)
cp -r "$work/in" "$work/linux"
cp -r "$work/in" "$work/windows"
(cd "$work/linux" && "$linux_build/pngcarve" "${inputs[@]}" > ../linux.out)
(cd "$work/windows" && "$wine" "$exe" "${inputs[@]}" > ../windows.out 2> ../windows.err)
echo "exit $?" >> "$work/windows.out"
echo "exit 0" >> "$work/linux.out"
diff -rq "$work/linux" "$work/windows" >/dev/null ||
  { echo "wine's own words:"; tail -n 5 "$work/windows.err"; tail -n 2 "$work/windows.out"; }
check "outputs byte-identical to the Linux build" \
  diff -r "$work/linux" "$work/windows"
check "console text identical but for \\r\\n line ends" \
  cmp -s <(crlf < "$work/linux.out" | sed '$ s/\r$//') "$work/windows.out"
check "several hundred outputs written" \
  test -f "$work/windows/dense.bin.0299.png" -a ! -e "$work/windows/dense.bin.0300.png"

# 2. Wildcards expanded by the program, in the platform's (name) order; a
# pattern that matches nothing is passed on and, unopenable, prints nothing.
mkdir -p "$work/wild"
for n in b2.pak a3.pak a1.pak a20.pak; do printf 'xxIHDR' > "$work/wild/$n"; done
(cd "$work/wild" && run_exe 'a*.pak' 'zz*.pak' 'b?.pak' > ../wild.out)
status=$?
printf '\rExtracting: %s -> 0\r\n' a1.pak a20.pak a3.pak b2.pak > "$work/wild.expected"
check "wildcards expand to the matching files in order" \
  cmp -s "$work/wild.out" "$work/wild.expected"
check "wildcard run exits 0" test "$status" -eq 0
check "a pattern matching nothing creates nothing" \
  test ! -e "$work/wild/zz*.pak.0000.png"

# 3. Names outside any single code page.
mkdir -p "$work/names"
names=("ゲーム.pak" "游戏资源.bin" "данные.dat" "ünïcödé €.pak")
for n in "${names[@]}"; do cp "$root/sample/game.pak" "$work/names/$n"; done
(cd "$work/names" && run_exe "${names[@]}" > ../names.out)
: > "$work/names.expected"
for n in "${names[@]}"; do
  printf '\rExtracting: %s -> %d' "$n" 0 "$n" 1 "$n" 2 "$n" 3 >> "$work/names.expected"
  printf '\r\n' >> "$work/names.expected"
done
check "names outside the code page are read, and shown in UTF-8" \
  cmp -s "$work/names.out" "$work/names.expected"
ok=true
for n in "${names[@]}"; do
  cmp -s "$work/names/$n.0003.png" "$work/linux/game.pak.0003.png" || ok=false
done
check "their outputs are written beside them" $ok

# 4. A path longer than the old 260-character limit (the .exe declares
# itself long-path aware).
long="$(printf 'd%.0s' {1..100})/$(printf 'e%.0s' {1..100})/$(printf 'f%.0s' {1..80})"
mkdir -p "$work/long/$long"
cp "$root/sample/game.pak" "$work/long/$long/game.pak"
(cd "$work/long" && run_exe "$long/game.pak" > ../long.out)
check "a path of ${#long}+ characters is read and written beside" \
  cmp -s "$work/long/$long/game.pak.0003.png" "$work/linux/game.pak.0003.png"

# 5. An output that can't be created ends the run with status 1.
mkdir -p "$work/fail/in.bin.0001.png"
cp "$root/sample/game.pak" "$work/fail/in.bin"
cp "$root/sample/game.pak" "$work/fail/later.bin"
(cd "$work/fail" && run_exe in.bin later.bin > ../fail.out)
status=$?
printf '\rExtracting: in.bin -> 0\rExtracting: in.bin -> 1\r\n  Failed to create file !!\r\n' \
  > "$work/fail.expected"
check "create failure prints its message with \\r\\n" \
  cmp -s "$work/fail.out" "$work/fail.expected"
check "create failure exits 1" test "$status" -eq 1
check "create failure keeps finished images and stops" \
  test -f "$work/fail/in.bin.0000.png" -a ! -e "$work/fail/later.bin.0000.png"

# 6. The 32-bit build: the same outputs and text, also past 4 GiB of input.
if [ -n "$exe32" ]; then
  mkdir -p "$work/w32/linux"
  cp "$root/sample/game.pak" "$work/w32/linux/"
  "$linux_build/make_inputs" sparse "$work/w32/linux/big.img" 4800 3 >/dev/null
  cp -r --sparse=always "$work/w32/linux" "$work/w32/windows"
  (cd "$work/w32/linux" && "$linux_build/pngcarve" game.pak big.img > ../linux.out)
  (cd "$work/w32/windows" && "$wine" "$exe32" game.pak big.img > ../windows.out 2>/dev/null)
  status=$?
  check "32-bit build exits 0" test "$status" -eq 0
  check "32-bit build gives the same console text" \
    cmp -s <(crlf < "$work/w32/linux.out") "$work/w32/windows.out"
  check "32-bit build gives the same images, also past 4 GiB" \
    diff -r "$work/w32/linux" "$work/w32/windows"
  check "32-bit build finds all three images past 4 GiB" \
    test -f "$work/w32/windows/big.img.0002.png"
fi

echo "wine: $passed passed, $failed failed"
test "$failed" -eq 0
