#!/usr/bin/env bash
# The Windows build's tests, run under Wine from Linux:
#   tests/windows/run_wine_tests.sh WIN_BUILD LINUX_BUILD [SECONDS]
#  1. ORVOAEC.dll exports exactly the seven functions at ordinals 1 to 7; the DLL and the
#     programs import system DLLs only.
#  2. The platform layer's Windows side (GoogleTest, tests/windows/file_io_windows_test.cpp).
#  3. The C host (tests/c_host/c_api_host.c) loads the DLL by name and by ordinal and runs its
#     scenarios, the configuration one in the prefix's Documents folder (a temporary folder).
#  4. The configuration scenario again with a Documents folder whose name is outside the ANSI
#     code page.
#  5. orvoaec.exe process (two microphones; one microphone with the strong denoise mode) and
#     starttest on a SECONDS-long (default 30) two-microphone scene give the same bytes as the
#     Linux build's orvoaec.
# Everything runs in a throw-away WINEPREFIX (and HOME) under /tmp, headless, removed at the end.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  echo "usage: $0 WIN_BUILD LINUX_BUILD [SECONDS]" >&2
  exit 2
fi
win=$(cd "$1" && pwd)
linux=$(cd "$2" && pwd)
seconds="${3:-30}"
objdump=x86_64-w64-mingw32-objdump

tmp=$(mktemp -d /tmp/orvo-wine-tests.XXXXXX)
export WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installation prompts (nothing is downloaded), no display.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine links the profile's folders (Documents among them) to $HOME: keep that temporary too.
export HOME="$tmp/home" LANG=C.UTF-8 LC_ALL=C.UTF-8
unset XDG_CONFIG_HOME XDG_DOCUMENTS_DIR
mkdir -p "$HOME"

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

failures=0
pass() { echo "  ok   $*"; }
fail() {
  echo "  FAIL $*"
  failures=$((failures + 1))
}

# ---------------------------------------------------------------------------------------------
echo "windows: exports and imports"
dll="$win/ORVOAEC.dll"
headers=$("$objdump" -p "$dll")
exports=$(awk '
  /^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
  on && /^\t\[/ {line = $0; sub(/^\t\[ */, "", line); split(line, f, /\] /); print f[1] + 1, f[2]; next}
  on {on = 0}' <<<"$headers" | sort -n | tr '\n' ' ')
want="1 startTest 2 ORVOAEC_Create 3 ORVOAEC_Process 4 ORVOAEC_AddData 5 ORVOAEC_IsDoubleTalk 6 ORVOAEC_SetDenoiseLevel 7 ORVOAEC_LoadConfig "
base=$(awk '/Ordinal Base/ && !b {print $NF; b = 1}' <<<"$headers")
count=$(awk '/^\tExport Address Table/ && !c {print $NF + 0; c = 1}' <<<"$headers")
if [[ "$exports" == "$want" && "$base" == 1 && "$count" == 7 ]]; then
  pass "ORVOAEC.dll exports: $exports"
else
  fail "ORVOAEC.dll exports '$exports' (ordinal base $base, $count entries), expected '$want'"
fi
system_dlls='^(KERNEL32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|SHELL32|ole32|USER32|ADVAPI32)\.dll$'
for binary in "$dll" "$win/orvoaec.exe" "$win/tests/c_api_host.exe" \
  "$win/tests/file_io_windows_test.exe"; do
  imports=$("$objdump" -p "$binary" | awk '/DLL Name:/ {print $3}')
  other=$(grep -viE "$system_dlls" <<<"$imports" || true)
  if [[ -z "$other" ]]; then
    pass "$(basename "$binary") imports only system DLLs: $(tr '\n' ' ' <<<"$imports")"
  else
    fail "$(basename "$binary") imports $(tr '\n' ' ' <<<"$other")"
  fi
done

# ---------------------------------------------------------------------------------------------
echo "windows: Wine prefix"
wineboot -i >/dev/null 2>&1 || true
users="$WINEPREFIX/drive_c/users"
profile=$(find "$users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -n 1)
if [[ -z "$profile" ]]; then
  echo "wineboot made no user profile in $users" >&2
  exit 1
fi
documents="$tmp/documents"
mkdir -p "$documents"
rm -rf "${profile:?}/Documents"
ln -s "$documents" "$profile/Documents"
pass "prefix ready; Documents is $documents"
run_wine() { wine "$@" 2> >(grep -v 'wine32 is missing\|multiarch needs\|dpkg --add-arch\|apt-get install wine32' >&2); }

work="$tmp/work"
mkdir -p "$work"
cd "$work"
cp "$dll" "$win/tests/c_api_host.exe" "$work/"

# ---------------------------------------------------------------------------------------------
echo "windows: platform layer (GoogleTest)"
cp "$win/tests/file_io_windows_test.exe" "$work/"
if run_wine ./file_io_windows_test.exe >file_io.log 2>&1; then
  pass "file_io_windows_test: $(grep -E '^\[  PASSED  \]' file_io.log)"
else
  cat file_io.log
  fail "file_io_windows_test"
fi

# ---------------------------------------------------------------------------------------------
echo "windows: C host"
if ORVO_TEST_THROWAWAY_PROFILE=1 run_wine ./c_api_host.exe ORVOAEC.dll >host.log 2>&1; then
  pass "$(grep 'c_api_host:' host.log)"
else
  cat host.log
  fail "c_api_host.exe"
fi

echo "windows: configuration in a Documents folder outside the ANSI code page"
wide_name="Dokumente-Ärger-文書"
mkdir -p "$profile/$wide_name"
run_wine reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v Personal /t REG_EXPAND_SZ /d "C:\\users\\$(basename "$profile")\\$wide_name" /f >/dev/null 2>&1
if ORVO_TEST_THROWAWAY_PROFILE=1 run_wine ./c_api_host.exe ORVOAEC.dll --config-only \
  >host_wide.log 2>&1 && grep -q "$wide_name" host_wide.log; then
  pass "$(grep 'configuration file' host_wide.log)"
else
  cat host_wide.log
  fail "configuration scenario in $wide_name"
fi
run_wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders' \
  /v Personal /f >/dev/null 2>&1 || true

# ---------------------------------------------------------------------------------------------
echo "windows: the same output bytes as the Linux build (${seconds} s, two microphones)"
mkdir -p scene linux windows
"$linux/tests/scene_files" scene "$seconds"
for side in linux windows; do
  cp scene/MicData.pcm scene/MicData2.pcm scene/RefData.pcm "$side/"
done
# Both runs start without config.yml; starttest writes the default file into each Documents
# folder (and applies nothing), and the two files must be the same text.
linux_home="$tmp/linux-home"
mkdir -p "$linux_home/Documents/RereridEva" "$documents/RereridEva"
HOME="$linux_home" "$linux/orvoaec" process --mic scene/MicData.pcm --mic2 scene/MicData2.pcm \
  --ref scene/RefData.pcm --out linux/process.pcm >/dev/null 2>linux/process.log
HOME="$linux_home" "$linux/orvoaec" process --mic scene/MicData.pcm --ref scene/RefData.pcm \
  --denoise 2 --out linux/mono.pcm >/dev/null 2>linux/mono.log
HOME="$linux_home" "$linux/orvoaec" starttest --dir linux >/dev/null 2>linux/starttest.log
cp "$win/orvoaec.exe" windows/
(cd windows && run_wine ./orvoaec.exe process --mic MicData.pcm --mic2 MicData2.pcm \
  --ref RefData.pcm --out process.pcm >/dev/null 2>process.log)
(cd windows && run_wine ./orvoaec.exe process --mic MicData.pcm --ref RefData.pcm --denoise 2 \
  --out mono.pcm >/dev/null 2>mono.log)
(cd windows && run_wine ./orvoaec.exe starttest >/dev/null 2>starttest.log)
for output in process.pcm mono.pcm Out.pcm; do
  size=$(stat -c %s "linux/$output" 2>/dev/null || echo 0)
  expected=$((seconds * 48000 * 2))
  if [[ "$size" -ne "$expected" ]]; then
    fail "linux/$output has $size bytes, expected $expected"
  elif cmp -s "linux/$output" "windows/$output"; then
    pass "$output: $size bytes, identical (sha256 $(sha256sum <"linux/$output" | cut -c1-16))"
  else
    differing=$( (cmp -l "linux/$output" "windows/$output" 2>/dev/null || true) | wc -l)
    fail "$output: $differing of $size bytes differ between Linux and Windows"
  fi
done

linux_config="$linux_home/Documents/RereridEva/config.yml"
windows_config="$documents/RereridEva/config.yml"
if [[ ! -s "$linux_config" || ! -s "$windows_config" ]]; then
  fail "starttest wrote no default config.yml (Linux: $(stat -c %s "$linux_config" 2>&1)," \
    "Windows: $(stat -c %s "$windows_config" 2>&1))"
elif grep -q $'\r' "$linux_config"; then
  fail "the Linux default config.yml has CR line ends"
elif cmp -s <(sed -z 's/\n/\r\n/g' "$linux_config") "$windows_config"; then
  pass "default config.yml: the same text, CRLF line ends on Windows ($(wc -l <"$windows_config") line ends)"
else
  fail "default config.yml differs beyond line ends"
fi

if [[ $failures -ne 0 ]]; then
  echo "windows: $failures check(s) failed"
  exit 1
fi
echo "windows: all checks passed"
