#!/usr/bin/env bash
# What ships, in the build's bin folder and in the install tree as a Windows
# C developer receives it: exactly their files, stripped binaries, both import
# libraries naming libkestle.dll and every export of the installed .def, and a
# program of a user's own built against the tree alone, through find_package
# and through pkg-config, and run.
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
mkdir -p "$work/root"
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
lib/cmake/kestle/kestleConfig.cmake
lib/cmake/kestle/kestleConfigVersion.cmake
lib/cmake/kestle/kestleTargets-CONFIG.cmake
lib/cmake/kestle/kestleTargets.cmake
lib/libkestle.def
lib/libkestle.dll.a
lib/libkestle.lib
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

if ((failures)); then
  echo "$failures check(s) of what ships failed"
  exit 1
fi
echo "the install tree holds what ships, and a program builds against it alone and runs"
