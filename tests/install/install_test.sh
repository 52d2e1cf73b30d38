#!/usr/bin/env bash
# What ships, in the build's bin folder and in the install tree as a Windows
# C developer receives it: exactly their files, stripped binaries, both import
# libraries naming libkestle.dll and every export of the installed .def, a
# program of a user's own built against the tree alone, through find_package
# and through pkg-config, and run, and the example programs copied out of
# examples/ built the same two ways and run as a session with the installed
# daemons.
#
#   install_test.sh BUILD_DIR WORK_DIR TOOLCHAIN_FILE C_COMPILER OBJDUMP VERSION
set -uo pipefail
# The lists below are sorted and compared in byte order, whatever the caller's
# locale.
export LC_ALL=C
build=$1 work=$2 toolchain=$3 cc=$4 objdump=$5 version=$6
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix
failures=0
failed() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# The build's bin folder holds exactly what ships, and nothing to test with.
shipped="interrogator.exe
libkestle.dll
scrived.exe
sockmapdump.exe"
inbin=$(ls "$build/bin" | sort)
if [[ $inbin != "$shipped" ]]; then
  failed "the build's bin folder holds more or less than what ships:"
  diff <(echo "$shipped") <(echo "$inbin") | sed -n 's/^</  missing:/p; s/^>/  extra:/p'
fi

rm -rf "$work"
mkdir -p "$work/root/dev/log"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || {
  cat "$work/install.log"
  echo "FAILED: cmake --install"
  exit 1
}

# Exactly these files (the exported targets' per-configuration file is named
# after the build type).
expected="bin/interrogator.exe
bin/libkestle.dll
bin/scrived.exe
bin/sockmapdump.exe
include/kestle.h
include/liblog.h
lib/cmake/kestle/kestleConfig.cmake
lib/cmake/kestle/kestleConfigVersion.cmake
lib/cmake/kestle/kestleTargets-CONFIG.cmake
lib/cmake/kestle/kestleTargets.cmake
lib/libkestle.def
lib/libkestle.dll.a
lib/libkestle.lib
lib/liblog.a
lib/pkgconfig/kestle-log.pc
lib/pkgconfig/kestle.pc"
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||; s|kestleTargets-[a-z]*\.cmake$|kestleTargets-CONFIG.cmake|' | sort)
if [[ $actual != "$expected" ]]; then
  failed "the install tree's files differ from what ships:"
  diff <(echo "$expected") <(echo "$actual") | sed -n 's/^</  missing:/p; s/^>/  extra:/p'
fi

# (objdump's output is read whole: with pipefail, a grep that stops early
# would fail the pipe.)
for f in "$prefix"/bin/*; do
  if [[ $("$objdump" -h "$f") == *" .debug_"* ]]; then
    failed "${f#"$prefix/"} is not stripped: it has debugging sections"
  fi
  if [[ $("$objdump" -t "$f") == *$'\n['* ]]; then
    failed "${f#"$prefix/"} is not stripped: it has a symbol table"
  fi
done
# The log library keeps the symbols a program links against, and nothing of
# the build's debugging information (nor the build's paths in it).
if [[ -f $prefix/lib/liblog.a && $("$objdump" -h "$prefix/lib/liblog.a") == *" .debug_"* ]]; then
  failed "lib/liblog.a is not stripped: it has debugging sections"
fi

# kestle.h tells callers to free the blocks marked "caller frees" with
# msvcrt.dll's free: the DLL's malloc and free are msvcrt.dll's.
crt=$("$objdump" -p "$prefix/bin/libkestle.dll" | awk '/DLL Name:/ { dll = tolower($3); next }
  dll && NF == 3 && $1 ~ /^[0-9a-f]+$/ && ($3 == "malloc" || $3 == "free") { print dll, $3 }' | sort)
[[ $crt == $'msvcrt.dll free\nmsvcrt.dll malloc' ]] ||
  failed "bin/libkestle.dll does not take malloc and free from msvcrt.dll alone: $(echo $crt)"

# Both import libraries name the DLL and every export, by the names the DLL
# exports (stdcall ones decorated on i686, where C symbols also carry a
# leading underscore).
names=$(sed -n '/^EXPORTS/,$p' "$prefix/lib/libkestle.def" | sed '1d; s/;.*//' | awk 'NF { print $1 }' | sort)
count=$(echo "$names" | wc -l)
underscore=""
# The cross binutils' own strings: a fresh host may have no native binutils.
strings_tool=${objdump%objdump}strings
[[ $("$objdump" -f "$prefix/lib/libkestle.dll.a") == *"file format pe-i386"* ]] && underscore=_
for lib in libkestle.dll.a libkestle.lib; do
  file=$prefix/lib/$lib
  symbols=$("$objdump" -t "$file" | sed -n 's/.* __imp_//p' | sort -u)
  if [[ $symbols != "$(echo "$names" | sed "s/^/$underscore/" | sort)" ]]; then
    failed "lib/$lib does not import exactly the $count exports of libkestle.def:"
    diff <(echo "$names" | sed "s/^/$underscore/" | sort) <(echo "$symbols") | sed -n 's/^</  missing:/p; s/^>/  extra:/p'
  fi
  strings=$("$strings_tool" -a "$file" | sort -u)
  missing=$(comm -23 <(echo "$names") <(echo "$strings"))
  [[ -z $missing ]] || failed "lib/$lib does not import by these names: $(echo $missing)"
  grep -qx 'libkestle.dll' <<<"$strings" || failed "lib/$lib does not name libkestle.dll"
done

# A user's program, run with the installed DLL on the search path.
run_consumer() {
  local exe=$1 how=$2 out
  out=$(cd "$work" && WINEPATH="Z:${prefix//\//\\}\\bin" VANTRELL_ROOT="Z:$work/root" \
    "$build/tools/wine-run" "$exe" 2>&1 | tr -d '\r')
  local want="consumer: libkestle $version
consumer: root $work/root/
consumer: thread same"
  [[ $out == "$want" ]] || failed "the program built $how printed:
$out
  instead of:
$want"
}

# Cross-compiled with the build's own toolchain file: the toolchain searches
# for packages under its own root only, so the package's folder is named.
if cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -Dkestle_DIR="$prefix/lib/cmake/kestle" >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1; then
  run_consumer "$work/consumer/consumer.exe" "through find_package"
else
  cat "$work/consumer.log"
  failed "a program does not build against the install tree through find_package(kestle)"
fi

if flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs kestle) &&
  "$cc" -o "$work/consumer-pc.exe" "$here/consumer/consumer.c" $flags -lversion; then
  run_consumer "$work/consumer-pc.exe" "through pkg-config"
else
  failed "a program does not build against the install tree through pkg-config's kestle"
fi

# ---- The example programs, as a user copies them out of examples/ into a
# folder of their own (the test's project file beside them), built against
# the tree alone, both ways.
examples=(guest peer inputreader mapholder gueststop)
copy=$work/examples-src
mkdir -p "$copy" "$work/examples-pc" "$work/session"
for program in "${examples[@]}"; do
  cp "$here/../../examples/$program.c" "$copy/"
done
cp "$here/../../examples/example.h" "$here/examples/CMakeLists.txt" "$copy/"

built=()
if cmake -S "$copy" -B "$work/examples" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -Dkestle_DIR="$prefix/lib/cmake/kestle" >"$work/examples.log" 2>&1 &&
  cmake --build "$work/examples" >>"$work/examples.log" 2>&1; then
  built+=("$work/examples:through find_package")
else
  cat "$work/examples.log"
  failed "the example programs do not build against the install tree through find_package(kestle)"
fi

pc_ok=1
for program in "${examples[@]}"; do
  packages=kestle
  [[ $program == guest || $program == peer ]] && packages="kestle kestle-log"
  if ! flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs $packages 2>&1) ||
    ! "$cc" -o "$work/examples-pc/$program.exe" "$copy/$program.c" $flags >>"$work/examples-pc.log" 2>&1; then
    echo "$program: pkg-config --cflags --libs $packages: $flags" >>"$work/examples-pc.log"
    pc_ok=0
  fi
done
if ((pc_ok)); then
  built+=("$work/examples-pc:through pkg-config")
else
  cat "$work/examples-pc.log"
  failed "the example programs do not build against the install tree through pkg-config's kestle and kestle-log"
fi

# ---- The example session as scripts/run arranges it, with the programs
# built above: the socket map made and held by mapholder, the installed
# scrived and interrogator up, then guest, which starts peer and inputreader
# from its own folder and, once its window is closed, gueststop from the
# search path. With no sound device (the audio step says it skipped): the
# audio output has tests of its own, and no other test's sound server is
# disturbed.
session=$work/session
printf '# no sound device\n' >"$session/alsa-none.conf"
export ALSA_CONFIG_PATH=$session/alsa-none.conf PULSE_SERVER=unix:$session/no-server
up_bound=60 guest_bound=120
winpath() { echo "Z:${1//\//\\}"; }

# The session's programs in the background, by the pids of their Wine
# processes; whatever is still running when the test ends is ended.
session_pids=()
stop_session() {
  local pid
  for pid in "${session_pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null
  done
  for pid in "${session_pids[@]}"; do
    wait "$pid" 2>/dev/null
  done
  session_pids=()
}
trap stop_session EXIT
start_session() {
  local exe=$1
  (cd "$work" && exec env WINEPATH="$(winpath "$prefix/bin")" VANTRELL_ROOT="Z:$work/root" \
    "$build/tools/wine-run" "$exe") </dev/null >"$session/$(basename "$exe" .exe).out" 2>&1 &
  session_pids+=($!)
}
# True once a daemon (NAME PID) is in the socket map and its port takes
# connections, within the bound.
port_of() {
  "$build/tools/wine-run" "$prefix/bin/sockmapdump.exe" "$1" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^[[:space:]]*$1 --> \([0-9][0-9]*\)\$/\1/p"
}
wait_up() {
  local name=$1 pid=$2 port deadline=$((SECONDS + up_bound))
  while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do
    port=$(port_of "$name")
    [[ -n $port ]] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.3
  done
  failed "the installed $name did not come up within $up_bound s: $(tr -d '\r' <"$session/$name.out" | tail -n 3)"
  return 1
}

# The number of lines of the log file that match a pattern.
log_lines() { tr -d '\r' <"$work/root/dev/log/main" 2>/dev/null | grep -c "$1"; }

# One session with the examples of FOLDER, built HOW; N numbers it.
run_session() {
  local folder=$1 how="the example session built $2" n=$3 out status step before=$failures guests peers
  out=$session/guest-$n.out
  guests=$(log_lines '^I/guest: the example guest session starts')
  peers=$(log_lines '^I/peer: received "hello from the guest"')
  (cd "$work" && WINEPATH="$(winpath "$prefix/bin");$(winpath "$folder")" VANTRELL_ROOT="Z:$work/root" \
    timeout -s KILL $guest_bound "$build/tools/wine-run" "$folder/guest.exe") </dev/null >"$out" 2>&1
  status=$?
  tr -d '\r' <"$out" >"$out.txt"
  ((status == 0)) || failed "$how ended with status $status"
  for step in log channel window input stop; do
    grep -qE "^guest: $step +ok: " "$out.txt" || failed "$how has no \"$step ok\" line"
  done
  grep -qE "^guest: audio +(ok|skipped): " "$out.txt" || failed "$how has no \"audio ok\" or \"audio skipped\" line"
  grep -qx "guest: every step passed" "$out.txt" || failed "$how did not pass every step"
  grep -q "^inputreader: record type 1, code 30, value 1, device 0" "$out.txt" ||
    failed "$how: inputreader did not print the key record"
  # The log library's lines of both programs reached the installed scrived.
  (($(log_lines '^I/guest: the example guest session starts') == guests + 1 &&
    $(log_lines '^I/peer: received "hello from the guest"') == peers + 1)) ||
    failed "$how: the log file does not hold the guest's and the peer's lines of this session"
  if ((failures > before)); then
    echo "--- $how printed:"
    cat "$out.txt"
  fi
}

if ((${#built[@]})); then
  start_session "${built[0]%%:*}/mapholder.exe"
  holder=${session_pids[-1]}
  deadline=$((SECONDS + up_bound))
  until grep -q "holding the socket map" "$session/mapholder.out" 2>/dev/null ||
    ! kill -0 "$holder" 2>/dev/null || ((SECONDS >= deadline)); do
    sleep 0.2
  done
  if ! grep -q "holding the socket map" "$session/mapholder.out"; then
    failed "the example mapholder did not make the socket map: $(tr -d '\r' <"$session/mapholder.out")"
  else
    start_session "$prefix/bin/scrived.exe"
    scrived=${session_pids[-1]}
    start_session "$prefix/bin/interrogator.exe"
    interrogator=${session_pids[-1]}
    if wait_up scrived "$scrived" && wait_up interrogator "$interrogator"; then
      n=0
      for entry in "${built[@]}"; do
        n=$((n + 1))
        run_session "${entry%%:*}" "${entry#*:}" $n
      done
    fi
  fi
  stop_session
fi

if ((failures)); then
  echo "$failures check(s) of what ships failed"
  exit 1
fi
echo "the install tree holds what ships, and a program and the examples build against it alone and run"
