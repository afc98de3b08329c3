#!/usr/bin/env bash
# tarvo.exe as a Windows user runs it, checked from Linux: the program is a
# PE32+ console program; under Wine it converts the sample bitmaps and one
# bitmap of every class to the same bytes as the Linux command (dates and
# author pinned; encrypted documents the same once decrypted), and qpdf and
# pdfimages accept what it writes; a Windows
# parent sees the full result code; the "DBG: " lines reach the debugger
# and are the lines the Linux command writes to standard error; lines end
# in a line feed; the default name and the replacement of an existing file
# follow the Windows rules; standard input and output carry bitmaps and
# documents.
#   check_command.sh WINDOWS_BUILD LINUX_TARVO
set -euo pipefail
win_build=$(cd "$1" && pwd)
linux_tarvo=$(realpath "$2")
cd "$(dirname "$0")/../.."
src=$(pwd)
exe=$win_build/tarvo.exe
run_child=$win_build/tests/windows/run_child.exe
fail() {
  echo "check_command: $*" >&2
  exit 1
}
# A step that stops the script without a message of its own names itself
# (where failures are let through, errexit is off and nothing is said).
trap 'stopped=$?; [[ $- != *e* ]] || echo "check_command: line $LINENO failed (status $stopped): $BASH_COMMAND" >&2' ERR
[ -x "$linux_tarvo" ] || fail "no Linux command at $linux_tarvo (bash scripts/build.sh release)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

file "$exe" | grep -q 'PE32+ executable (console) x86-64' || fail "not a PE32+ console program: $(file "$exe")"
# Linked statically: it imports only DLLs every Windows has.
for dll in $(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z'); do
  case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | bcrypt.dll | msvcrt.dll) ;;
    *) fail "tarvo.exe needs $dll" ;;
  esac
done

# The inputs once, reached by the same relative paths from both sides.
mkdir -p "$work/in" "$work/linux" "$work/win"
cp examples/*.bmp "$work/in/"
suite=$src/../shared/bmpsuite
# Black and white, colour tables of 2, 16 and 256 entries (run-length
# coded too, and short), 16, 24 and 32 bits, bit fields, alpha and an OS/2
# header; and bitmaps both sides refuse.
classes=(g/pal1.bmp g/pal1bg.bmp g/pal4rle.bmp g/pal8-0.bmp g/pal8rle.bmp g/rgb24.bmp g/rgb32.bmp
  g/pal4.bmp g/rgb16.bmp g/rgb32bf.bmp g/pal8os2.bmp q/rgba32-1.bmp q/pal2.bmp q/rgb24png.bmp)
refused=(q/rgba64.bmp b/badbitcount.bmp b/badwidth.bmp b/reallybig.bmp)
if [ -d "$suite" ]; then
  for f in "${classes[@]}" "${refused[@]}"; do cp "$suite/$f" "$work/in/suite-${f//\//-}"; done
else
  echo "check_command: BMP suite not found; the samples only"
  classes=()
  refused=()
fi
icc=""
for p in /usr/share/color/icc/ghostscript/srgb.icc /usr/share/color/icc/sRGB.icc; do
  [ -f "$p" ] && { cp "$p" "$work/in/srgb.icc"; icc=../in/srgb.icc; break; }
done

export SOURCE_DATE_EPOCH=1700000000
linux() { (cd "$work/linux" && "$linux_tarvo" "$@"); }
windows() { (cd "$work/win" && wine "$exe" "$@"); }

# Each run: the same options on both sides, -o=out.pdf, compared byte for byte.
runs=(
  "-quiet ../in/chart-8bit-topdown.bmp ../in/grey-8bit.bmp ../in/photo-24bit.bmp ../in/text-1bit.bmp"
  "-quiet -enc=2 -encp=2 -encg=2 -paper=A4 -lis=-1 ../in/photo-24bit.bmp ../in/chart-8bit-topdown.bmp"
  "-quiet -sec=3 -sus=reader -sow=owner -set=1 -it=Title ../in/text-1bit.bmp"
  "-quiet -sec=2 -sus=reader -set=15 -vom=2 -vte=3 -vtt=1500 -vpa=1 -vpt=2000 ../in/grey-8bit.bmp"
  "-quiet -vra=90 -vwl=2 -vwz=8 -vwzv=1500 -dpi=300 -ldw=2100 -ldh=2970 -lbl=100 -lip=9 ../in/photo-24bit.bmp"
  "-quiet -LDW=2100 -outptu=x.pdf /paper=letterl -lis=-1 ../in/text-1bit.bmp"
)
[ -n "$icc" ] && runs+=("-quiet -eco=1 -icc=$icc ../in/photo-24bit.bmp")
for c in "${classes[@]}"; do runs+=("-quiet ../in/suite-${c//\//-}"); done

n=0
for r in "${runs[@]}"; do
  # shellcheck disable=SC2086
  linux -ia=Tester -o=out.pdf $r >"$work/l.out" 2>"$work/l.err" || fail "Linux command failed: $r"
  # shellcheck disable=SC2086
  windows -ia=Tester -o=out.pdf $r >"$work/w.out" 2>"$work/w.err" || fail "tarvo.exe failed: $r: $(cat "$work/w.err")"
  if [[ $r == *-sec=* ]]; then
    # Each encrypted file has keys and an identifier of its own: the same
    # once decrypted, the identifier aside.
    for side in linux win; do
      qpdf --password=reader --decrypt --static-id "$work/$side/out.pdf" - |
        LC_ALL=C sed -E 's|/ID \[<[0-9a-f]*>|/ID [<>|' >"$work/$side.plain"
    done
    cmp -s "$work/linux.plain" "$work/win.plain" || fail "different content: $r"
  else
    cmp -s "$work/linux/out.pdf" "$work/win/out.pdf" || fail "different bytes: $r"
  fi
  cmp -s "$work/l.out" "$work/w.out" && cmp -s "$work/l.err" "$work/w.err" || fail "different output lines: $r"
  qpdf --password=reader --check "$work/win/out.pdf" >/dev/null || fail "qpdf rejects: $r"
  pdfimages -upw reader -list "$work/win/out.pdf" >/dev/null 2>&1 || fail "pdfimages rejects: $r"
  n=$((n + 1))
done
# Trace lines on standard output end as on Linux: no carriage return.
linux -ia=Tester -o=out.pdf ../in/text-1bit.bmp ../in/photo-24bit.bmp >"$work/l.out" 2>&1
windows -ia=Tester -o=out.pdf ../in/text-1bit.bmp ../in/photo-24bit.bmp >"$work/w.out" 2>&1
! grep -q $'\r' "$work/w.out" || fail "carriage returns in the output lines"
[ "$(grep -c '^PDF: ' "$work/w.out")" = "$(grep -c '^PDF: ' "$work/l.out")" ] || fail "trace lines differ in number"

# Standard streams: -o=- writes the Linux bytes to standard output (binary,
# no trace lines), and a bitmap named - comes from standard input.
linux -ia=Tester -o=- ../in/photo-24bit.bmp >"$work/l.pdf" || fail "Linux -o=-"
windows -ia=Tester -o=- ../in/photo-24bit.bmp >"$work/w.pdf" || fail "tarvo.exe -o=-"
cmp -s "$work/l.pdf" "$work/w.pdf" || fail "-o=- writes other bytes"
windows -ia=Tester -quiet -o=stdin.pdf - <"$work/in/photo-24bit.bmp" || fail "tarvo.exe -"
cmp -s "$work/win/stdin.pdf" "$work/l.pdf" || fail "a bitmap from standard input gives other bytes"

# Refused bitmaps: the same error line and status on both sides.
for f in "${refused[@]}"; do
  set +e
  linux -o=out.pdf "../in/suite-${f//\//-}" >/dev/null 2>"$work/l.err"
  l=$?
  windows -o=out.pdf "../in/suite-${f//\//-}" >/dev/null 2>"$work/w.err"
  w=$?
  set -e
  [ "$l" != 0 ] && [ "$l" = "$w" ] || fail "$f: status $l on Linux, $w under Wine"
  cmp -s "$work/l.err" "$work/w.err" || fail "the refusal lines of $f differ: $(cat "$work/w.err")"
done

# An output that cannot be made: the error line names it and the system's
# reason (FormatMessage's words, or the C runtime's for a folder).
mkdir -p "$work/win/folder"
for out in 'nodir\x.pdf' folder; do
  set +e
  windows -quiet "-o=$out" ../in/text-1bit.bmp >/dev/null 2>"$work/w.err"
  set -e
  grep -qE "^tarvo: error -603: cannot create output file '[^']+': [A-Za-z][^(]* \(writer error -3\)$" \
    "$work/w.err" || fail "no reason for the output $out: $(cat "$work/w.err")"
done
grep -q ": Is a directory (" "$work/w.err" || fail "a folder as output: $(cat "$work/w.err")"

# The full result code reaches a Windows parent; a Linux parent of Wine
# sees only its low byte.
code() { (cd "$work/win" && wine "$run_child" "$exe" "$@" 2>/dev/null | tail -n 1); }
[ "$(code)" = "exit -400" ] || fail "no arguments: $(code)"
[ "$(code -quiet ../in/missing.bmp)" = "exit -502" ] || fail "missing bitmap: $(code -quiet ../in/missing.bmp)"
[ "$(code -dpi=x ../in/text-1bit.bmp)" = "exit -406" ] || fail "-dpi=x"
[ "$(code -exitversion)" = "exit 91" ] || fail "-exitversion"
[ "$(code -quiet -o=..\\in\\text-1bit.bmp ../in/text-1bit.bmp)" = "exit -603" ] ||
  fail "an output that is one of the bitmaps was not refused"
set +e
windows >/dev/null 2>&1
status=$?
set -e
[ "$status" = 112 ] || fail "wine passed $status for -400, not its low byte 112"

# "DBG: " lines: on the debugger channel, the Linux command's standard-error
# lines, and not on the console.
for r in "-debug -quiet ../in/text-1bit.bmp ../in/photo-24bit.bmp" "-dpi=5 -debug -vwzv=0x0" \
         "-debug ../in/missing.bmp"; do
  # shellcheck disable=SC2086
  linux -o=out.pdf $r >/dev/null 2>"$work/l.err" || true
  # shellcheck disable=SC2086
  (cd "$work/win" && wine "$run_child" -debug "$work/w.dbg" "$exe" -o=out.pdf $r >"$work/w.out" 2>"$work/w.err")
  grep '^DBG: ' "$work/l.err" >"$work/l.dbg" || true
  [ -s "$work/l.dbg" ] || fail "no debug lines from Linux: $r"
  cmp -s "$work/l.dbg" "$work/w.dbg" || { diff "$work/l.dbg" "$work/w.dbg" >&2; fail "debug lines differ: $r"; }
  ! grep -q 'DBG: ' "$work/w.err" "$work/w.out" || fail "debug lines on the console: $r"
done

# Windows paths: '\' separates folders, for the default name as for '/'.
mkdir -p "$work/win/dir.v2"
cp examples/text-1bit.bmp "$work/win/dir.v2/scan"
cp examples/text-1bit.bmp "$work/win/dir.v2/page.bmp"
windows -quiet 'dir.v2\scan' 'dir.v2\page.bmp' || fail "backslash paths"
[ -f "$work/win/dir.v2/scan.pdf" ] || fail "default name for dir.v2\\scan: $(ls "$work/win/dir.v2")"
windows -quiet 'dir.v2\page.bmp' || fail "backslash path"
[ -f "$work/win/dir.v2/page.pdf" ] || fail "default name for dir.v2\\page.bmp"

# The output replaces an existing file only once complete, and leaves no
# temporary file; a failed run leaves the old file as it was.
echo old >"$work/win/kept.pdf"
set +e
windows -quiet -o=kept.pdf ../in/text-1bit.bmp ../in/missing.bmp 2>/dev/null
set -e
[ "$(cat "$work/win/kept.pdf")" = old ] || fail "a failed run touched the existing file"
windows -quiet -o=kept.pdf ../in/text-1bit.bmp || fail "replacing an existing file"
qpdf --check "$work/win/kept.pdf" >/dev/null || fail "the replaced file is not the document"
windows -quiet -o=NUL ../in/text-1bit.bmp || fail "writing to the NUL device"
leftovers=$(find "$work/win" -name '.*' -o -iname 'nul*' -type f)
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"

echo "check_command: $n conversions byte-identical to Linux; exit codes, debugger channel, paths checked"
