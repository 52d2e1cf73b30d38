#!/usr/bin/env bash
# scripts/run, run as a user runs it, one case per call:
#
#   run_test.sh CASE REPO TREE WORK
#
#   session      the example session end to end, a sound device there: every
#                step passes, the log file holds the guests' lines, and
#                nothing the run started is left running
#   keep         --keep holds the host side until Ctrl-C, which stops it all,
#                on an X server of its own: the test run's one stays
#   interrupted  a Ctrl-C while the first run makes its Wine prefix: the next
#                run makes it again and passes
#   nosound      a host with no sound device (no sound server answers, ALSA
#                has no device): the tone plays on the run's own null sink,
#                whose measured length and frequency the run says; its sound
#                server is gone after the run, the test run's one untouched
#   nosoundkept  the same with --keep: the run's sound server stays until
#                Ctrl-C, which stops it
#   unheard      no sound device, and a Wine whose sound driver cannot reach
#                the run's sound server: nothing reached it, the run fails
#   othersound   no sound device, and another program plays on the run's null
#                sink during the session: what reached it is not the guest's
#                tone, the run fails
#   alongside    a test run of the tree beside a kept session (a tree of the
#                case's own): neither stops what the other started
#   noroot       a root folder that cannot be made
#   nolog        a root folder in which scrived cannot open its log file
#   nodisplay    DISPLAY names an X server that is not there
#   cantstart    a program that cannot start (the tree's DLL broken, in a
#                tree of the case's own) is named with Wine's reason
#   nowine       no Wine loader (a tree of stand-ins)
#   brokenwine   a Wine loader that does not run (a tree of stand-ins)
#   notbuilt     a tree without the example programs (a tree of stand-ins)
#   slowdaemon   a daemon that never registers (a tree of stand-ins)
#
# Every bad case must say so in one line, end non-zero and leave nothing
# running. TREE is the build tree the run takes on this suite's host.
set -uo pipefail
case=$1 repo=$2 tree=$3 work=$4
prefix=$tree/run/wineprefix
# The run's own choice of Wine's messages, whatever the caller's.
unset WINEDEBUG
rm -rf "$work"
mkdir -p "$work"

failures=0
failed() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
finish() {
  if ((failures)); then
    echo "--- the run's output:"
    cat "$work/out" 2>/dev/null
    exit 1
  fi
  echo "passed: $case"
  exit 0
}

# Processes whose environment or command line names the marker (their Wine
# prefix, or a sound server's socket under it): what the run left behind.
left_running() {
  local marker=$1 f p
  for f in $({
    grep -lzxF "WINEPREFIX=$marker" /proc/[0-9]*/environ
    grep -lzF "PULSE_SERVER=unix:$marker" /proc/[0-9]*/environ
    grep -lzF "$marker" /proc/[0-9]*/cmdline
  } 2>/dev/null | sort -u); do
    p=${f%/*}
    # Not this script, nor the grep that looked.
    [[ $p == "/proc/$$" ]] && continue
    [[ -e $p ]] && echo "  ${p#/proc/}: $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"
  done
}
expect_nothing_left() {
  local left
  left=$(left_running "$1")
  [[ -z $left ]] || failed "processes of the run are left running:
$left"
}

# The run's lines, without its line about which tree it takes.
lines() { grep -v '^scripts/run: .*: running the x64 test build' "$work/out"; }
last() { tail -n 1 "$work/out"; }

# A bad case: non-zero, and one line saying what, its last (matching the
# pattern). A refusal before anything started says nothing else at all; a
# failure later shows the steps that went before.
expect_failure() {
  local status=$1 pattern=$2
  ((status != 0)) || failed "the run ended with status 0"
  [[ $(last) =~ ^scripts/run:\ $pattern ]] || failed "the run's last line is \"$(last)\", not \"scripts/run: $pattern...\""
  [[ $(lines | grep -c '^scripts/run: ') == 1 ]] || failed "the run said more than one line about it:
$(lines | grep '^scripts/run: ')"
}
expect_refusal() {
  expect_failure "$@"
  [[ $(lines | wc -l) == 1 ]] || failed "the run said more than its one line:
$(lines)"
}

# A tree of stand-ins: every file the run looks for, a Wine of its own.
fake_tree() {
  local fake=$work/repo
  mkdir -p "$fake/scripts/lib" "$fake/build-x64/tools" "$fake/build-x64/bin" "$fake/build-x64/examples"
  cp "$repo/scripts/run" "$fake/scripts/run"
  cp "$repo/scripts/lib/host.sh" "$fake/scripts/lib/host.sh"
  for f in bin/libkestle.dll bin/scrived.exe bin/interrogator.exe bin/sockmapdump.exe examples/guest.exe \
    examples/peer.exe examples/inputreader.exe examples/mapholder.exe examples/gueststop.exe; do
    : >"$fake/build-x64/$f"
  done
  cat >"$fake/build-x64/tools/wine-env" <<EOF
WINEPREFIX=\${KESTLE_WINE_PREFIX:-$fake/build-x64/wineprefix}
WINELOADER=$fake/wine/wine64
WINESERVER=$fake/wine/wineserver
DISPLAY=\${KESTLE_DISPLAY:-:4711}
export WINEPREFIX WINELOADER WINESERVER DISPLAY
KESTLE_PREFIX_MADE=\$WINEPREFIX/made
KESTLE_FIXED_LAYOUT="setarch \$(uname -m) -R"
EOF
  mkdir -p "$fake/wine"
  printf '#!/bin/sh\nexit 0\n' >"$fake/wine/wineserver"
  # An X server that starts at once.
  printf '#!/bin/sh\n[ "$1" = display ] && echo :4711\nexit 0\n' >"$fake/build-x64/tools/xvfb"
  printf '#!/bin/sh\nexit 0\n' >"$fake/build-x64/tools/wine-server"
  # A sound server that starts at once, where no sound device answers.
  printf '#!/bin/sh\n[ "$1" = socket ] && echo %s\nexit 0\n' "$fake/pulse/native" >"$fake/build-x64/tools/pulse"
  chmod +x "$fake/wine/wineserver" "$fake/build-x64/tools/xvfb" "$fake/build-x64/tools/wine-server" \
    "$fake/build-x64/tools/pulse"
}
fake_run() { KESTLE_64BIT_ONLY=1 "$work/repo/scripts/run" "$@" >"$work/out" 2>&1; }

# A tree of the case's own beside the build, at $work/repo: scripts/, and a
# build tree ($own) configured like this one, so with tools, an X server, Wine
# prefixes and pid files of its own, holding links to this build's programs
# and DLLs, and of its test programs only the files named (each program there
# is listed under Wine when a test run starts).
own_tree() {
  local toolchain d f
  own=$work/repo/$(basename "$tree")
  mkdir -p "$work/repo/scripts/lib"
  cp "$repo/scripts/run" "$work/repo/scripts/run"
  cp "$repo/scripts/lib/host.sh" "$work/repo/scripts/lib/host.sh"
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$tree/CMakeCache.txt")
  if ! cmake -S "$repo" -B "$own" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" >"$work/configure.log" 2>&1; then
    cat "$work/configure.log"
    failed "the case's own tree could not be configured"
    finish
  fi
  for d in bin examples tests/bin; do
    mkdir -p "$own/$d"
  done
  ln -s "$tree"/bin/* "$own/bin/"
  ln -s "$tree"/examples/*.exe "$own/examples/"
  # The tests' copies of what ships, and the test programs named.
  for f in $(ls "$tree/bin") "$@"; do
    ln -s "$tree/tests/bin/$f" "$own/tests/bin/"
  done
}

# scripts/run --keep of the tree at $1 in the background, its own process
# group as a terminal's foreground job (Ctrl-C reaches the whole group); true
# once it waits for Ctrl-C with scrived, interrogator and the host window's
# process of its prefix $2 running.
start_kept() {
  local runner=$1 kept_prefix=$2 i
  set -m
  "$runner" --keep --root "$work/root" >"$work/out" 2>&1 &
  run=$!
  set +m
  for ((i = 0; i < 600; i++)); do
    grep -q "Ctrl-C stops it" "$work/out" && break
    kill -0 $run 2>/dev/null || break
    sleep 0.5
  done
  if ! grep -q "Ctrl-C stops it" "$work/out"; then
    failed "the run did not come to wait for Ctrl-C"
    return 1
  fi
  sleep 2
  expect_kept "$kept_prefix"
}
expect_kept() {
  local program
  for program in scrived.exe interrogator.exe guest.exe; do
    [[ $(left_running "$1") == *"$program"* ]] || failed "$program is not running while the run waits for Ctrl-C"
  done
}
# Waits at most 60 s for the run (process group $run) to end after a Ctrl-C,
# then ends what is left; sets status to the run's exit status.
await_end() {
  local i
  for ((i = 0; i < 120; i++)); do
    kill -0 $run 2>/dev/null || break
    sleep 0.5
  done
  if kill -0 $run 2>/dev/null; then
    failed "the run did not end within 60 s of Ctrl-C"
    kill -KILL -- -$run
  fi
  wait $run
  status=$?
}
# Ctrl-C to the kept run: it passes and ends, leaving nothing of its prefix $1.
stop_kept() {
  kill -INT -- -$run 2>/dev/null
  await_end
  ((status == 0)) || failed "the run ended with status $status after Ctrl-C"
  [[ $(last) == "scripts/run: passed: every step of the example guest session; stopped with Ctrl-C, everything the run started has stopped" ]] ||
    failed "the run's last line is \"$(last)\""
  expect_nothing_left "$1"
}

# A host with no sound device: no sound server answers where PULSE_SERVER
# points, and ALSA has a configuration without a device.
no_sound_device() {
  echo "# no sound device" >"$work/alsa-none.conf"
  export ALSA_CONFIG_PATH=$work/alsa-none.conf PULSE_SERVER=unix:$work/no-server
}
run_pulse=$tree/run/pulse
# The test run's sound server before a run: its pid, or nothing.
tests_pulse=""
if "$tree/tools/pulse" running; then
  tests_pulse=$(cat "$tree/pulse/pulseaudio.pid")
fi
# The run's sound server has ended with it; the test run's one, if it ran,
# runs on.
expect_sound_servers() {
  expect_nothing_left "$run_pulse"
  [[ -e $run_pulse/pulseaudio.pid ]] && failed "the run left the pid file of its sound server"
  if [[ -n $tests_pulse ]]; then
    "$tree/tools/pulse" running && [[ $(cat "$tree/pulse/pulseaudio.pid" 2>/dev/null) == "$tests_pulse" ]] ||
      failed "the run stopped or replaced the test run's sound server"
  fi
}
own_sink_line="sound server  a null sink of the build's own (pulseaudio, $run_pulse/run/native), started for this run: the host has no sound device"

case $case in
  nosound | nosoundkept)
    no_sound_device
    if [[ $case == nosound ]]; then
      "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
      status=$?
      ((status == 0)) || failed "the run ended with status $status"
      [[ $(last) == "scripts/run: passed: every step of the example guest session; everything the run started has stopped" ]] ||
        failed "the run's last line is \"$(last)\""
    else
      if start_kept "$repo/scripts/run" "$prefix"; then
        "$tree/tools/pulse" running run || failed "the run's sound server is not running while the run waits for Ctrl-C"
      fi
    fi
    grep -qxF "$own_sink_line" "$work/out" || failed "the run did not start a sound server of its own"
    grep -qE "^  guest: audio +ok: a 0.5 s tone of 440 Hz played" "$work/out" || failed "the guest did not play its tone"
    # The guest's tone: half a second of 440 Hz.
    tone=$(sed -n "s/^tone \{10\}\([0-9.]*\) s at \([0-9]*\) Hz reached the sound server (the run's own null sink), as the guest played it\$/\1 \2/p" "$work/out")
    if [[ -z $tone ]]; then
      failed "no line of the tone that reached the run's sound server:
$(grep '^tone' "$work/out")"
    elif ! awk -v l="${tone% *}" -v f="${tone#* }" 'BEGIN { exit !(l >= 0.45 && l <= 0.55 && f >= 418 && f <= 462) }'; then
      failed "the run says a tone of ${tone% *} s at ${tone#* } Hz reached its sound server, not the guest's 0.5 s at 440 Hz"
    fi
    [[ $case == nosoundkept ]] && stop_kept "$prefix"
    expect_nothing_left "$prefix"
    expect_sound_servers
    ;;

  unheard)
    no_sound_device
    # Wine's pulseaudio driver is not loaded, and ALSA has no device: the
    # guest finds no sound device and plays nothing.
    WINEDLLOVERRIDES=winepulse.drv=d "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
    expect_failure $? "FAILED: the guest's tone did not reach the sound server as the guest played it \(see above\)$"
    grep -qxF "tone          FAILED: nothing reached the sound server (the run's own null sink); the guest's audio step: skipped: the host has no sound device" "$work/out" ||
      failed "the run did not say that nothing reached its sound server:
$(grep '^tone' "$work/out")"
    expect_nothing_left "$prefix"
    expect_sound_servers
    ;;

  othersound)
    no_sound_device
    "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1 &
    run=$!
    # Once the session runs, the recording of the run's null sink does too:
    # two seconds of 1000 Hz from another program join the guest's tone.
    for ((i = 0; i < 600; i++)); do
      grep -q "^guest session" "$work/out" && break
      kill -0 $run 2>/dev/null || break
      sleep 0.2
    done
    sox -n -t raw -r 44100 -e signed-integer -b 16 -c 2 - synth 2 sine 1000 vol 0.1 2>/dev/null |
      timeout 30 pacat --server="unix:$run_pulse/run/native" --raw --format=s16le --rate=44100 --channels=2 ||
      failed "the other program could not play on the run's sound server"
    wait $run
    expect_failure $? "FAILED: the guest's tone did not reach the sound server as the guest played it \(see above\)$"
    grep -qE "^tone +FAILED: [0-9.]+ s at [0-9]+ Hz reached the sound server \(the run's own null sink\), where the guest played 0.5 s at 440 Hz$" "$work/out" ||
      failed "the run did not say that something else reached its sound server:
$(grep '^tone' "$work/out")"
    expect_nothing_left "$prefix"
    expect_sound_servers
    ;;

  session)
    scripts_run() { "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1; }
    scripts_run
    status=$?
    ((status == 0)) || failed "the run ended with status $status"
    [[ $(last) == "scripts/run: passed: every step of the example guest session; everything the run started has stopped" ]] ||
      failed "the run's last line is \"$(last)\""
    for step in log channel window input audio stop; do
      grep -qE "^  guest: $step +ok: " "$work/out" || failed "no \"$step ok\" line (the sound device is there)"
    done
    grep -q "^  inputreader: record type 1, code 30, value 1, device 0" "$work/out" ||
      failed "the reader did not print the key record"
    log=$work/root/dev/log/main
    for want in "I/guest: the example guest session starts" "I/peer: received \"hello from the guest\"" "I/guest: stop ok"; do
      grep -qF "$want" "$log" || failed "the log file has no line \"$want\""
    done
    # Each line whole: every line of the log is one of the log library's.
    bad=$(grep -cvE '^[VDIWEF?]/[a-z]+: ' "$log")
    ((bad == 0)) || failed "$bad lines of the log file are not whole log lines"
    grep -qF "log file      $log" "$work/out" || failed "the run did not say where the log file is"
    grep -qxF "sound server  unix:$tree/pulse/run/native, the host's" "$work/out" ||
      failed "the run did not take the host's sound server, the one PULSE_SERVER names"
    expect_nothing_left "$prefix"
    expect_sound_servers
    ;;

  keep)
    start_kept "$repo/scripts/run" "$prefix"
    stop_kept "$prefix"
    "$tree/tools/xvfb" running || failed "the run stopped the test run's X server"
    grep -qx "X server      $("$tree/tools/xvfb" display run), the build's own, started for this run" "$work/out" ||
      failed "the run did not start an X server of its own"
    ;;

  interrupted)
    # As a user types it, in a terminal (script gives the run one): the
    # Ctrl-C reaches every process of the foreground group, wineboot
    # included, while Wine's set-up has copied a part of the system DLLs;
    # the run then ends whatever runs in its prefix.
    rm -rf "$prefix"
    mkfifo "$work/keys"
    # With job control: a background job of a script would start with
    # SIGINT ignored.
    set -m
    script -qfec "$(printf '%q ' "$repo/scripts/run" --root "$work/root")" /dev/null <"$work/keys" >"$work/tty" 2>&1 &
    run=$!
    set +m
    exec 3>"$work/keys"
    system32=$prefix/drive_c/windows/system32
    for ((i = 0; i < 2400; i++)); do
      (($(ls "$system32" 2>/dev/null | wc -l) >= 100)) && break
      kill -0 $run 2>/dev/null || break
      sleep 0.05
    done
    copied=$(ls "$system32" 2>/dev/null | wc -l)
    printf '\003' >&3
    await_end
    exec 3>&-
    # Without the terminal's carriage returns and its echo of the Ctrl-C.
    tr -d '\r' <"$work/tty" | sed 's/^\^C//' >"$work/out"
    ((status == 130)) || failed "the run ended with status $status after Ctrl-C"
    [[ $(last) == "scripts/run: stopped by Ctrl-C; everything the run started has stopped" ]] ||
      failed "the run's last line after Ctrl-C (with $copied files in system32) is \"$(last)\""
    grep -q "^socket map" "$work/out" && failed "the Ctrl-C came after the prefix was made"
    expect_nothing_left "$prefix"
    cp "$work/out" "$work/interrupted.out"
    "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
    status=$?
    ((status == 0)) || failed "the run after the one interrupted (at $copied files in system32) ended with status $status"
    grep -q "^Wine .*(made now: the first run takes a while longer)" "$work/out" ||
      failed "the run after the one interrupted did not make its prefix again"
    [[ $(last) == "scripts/run: passed: every step of the example guest session; everything the run started has stopped" ]] ||
      failed "the run's last line is \"$(last)\""
    expect_nothing_left "$prefix"
    ;;

  alongside)
    own_tree surface_test.exe desktopholder.exe
    # A test run of the same tree while a session is kept, as a user starts
    # one: its fixtures start and stop the tests' X server and wineserver.
    if start_kept "$work/repo/scripts/run" "$own/run/wineprefix"; then
      ctest --test-dir "$own" -R surface_test --timeout 120 >"$work/tests.out" 2>&1 ||
        failed "the test run beside the kept session failed:
$(tail -n 20 "$work/tests.out")"
      grep -q "wineserver.start .* Passed" "$work/tests.out" && grep -q "xvfb.stop .* Passed" "$work/tests.out" ||
        failed "the test run did not start and stop its fixtures"
      expect_kept "$own/run/wineprefix"
      "$own/tools/xvfb" running run || failed "the test run stopped the kept session's X server"
      expect_nothing_left "$own/wineprefix"
      "$own/tools/xvfb" running && failed "the test run left its X server running"
    fi
    stop_kept "$own/run/wineprefix"
    "$own/tools/xvfb" running run && failed "the kept session left its X server running"
    ;;

  noroot)
    "$repo/scripts/run" --root /proc/kestle-run-test/root >"$work/out" 2>&1
    expect_refusal $? "cannot create the root folder /proc/kestle-run-test/root: "
    expect_nothing_left "$prefix"
    ;;

  nolog)
    # scrived opens dev/log/main under the root: here it is a folder.
    mkdir -p "$work/root/dev/log/main"
    "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
    expect_failure $? "scrived did not come up: it ended with status 255: file open failed$"
    expect_nothing_left "$prefix"
    ;;

  nodisplay)
    # A display no X server holds: no lock, no socket.
    n=77
    while [[ -e /tmp/.X$n-lock || -e /tmp/.X11-unix/X$n ]]; do n=$((n + 1)); done
    DISPLAY=:$n "$repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
    expect_failure $? "cannot open the X server :$n that DISPLAY names$"
    grep -q '^Wine ' "$work/out" && failed "the run went on to Wine"
    expect_nothing_left "$prefix"
    ;;

  cantstart)
    own_tree
    # The programs load libkestle.dll from bin/, on the search path.
    rm "$own/bin/libkestle.dll"
    echo "not a DLL" >"$own/bin/libkestle.dll"
    "$work/repo/scripts/run" --root "$work/root" >"$work/out" 2>&1
    expect_failure $? "the socket map was not made: examples/mapholder.exe could not start \(status [0-9]+\): .*libkestle\.dll.*mapholder\.exe"
    expect_nothing_left "$own/run/wineprefix"
    ;;

  nowine)
    fake_tree
    fake_run
    expect_refusal $? "no usable Wine: $work/repo/wine/wine64 or $work/repo/wine/wineserver is missing"
    ;;

  brokenwine)
    fake_tree
    printf '#!/bin/sh\nexit 1\n' >"$work/repo/wine/wine64"
    chmod +x "$work/repo/wine/wine64"
    fake_run
    expect_refusal $? "no usable Wine: $work/repo/wine/wine64 does not run on this host"
    ;;

  notbuilt)
    fake_tree
    rm "$work/repo/build-x64/examples/guest.exe"
    fake_run
    expect_refusal $? "build-x64/ is not built \\(there is no build-x64/examples/guest.exe\\): run scripts/setup"
    ;;

  slowdaemon)
    fake_tree
    # A Wine whose programs never register: the socket map is held, the
    # daemons run but are never found in it.
    cat >"$work/repo/wine/wine64" <<EOF
#!/bin/bash
case "\$1" in
  --version) exit 0 ;;
  *mapholder.exe) echo "mapholder: holding the socket map"; exec -a "$work/repo/wine/program" sleep 1000 ;;
  *sockmapdump.exe) printf '\t%s --> UNKNOWN\n' "\$2"; exit 0 ;;
  *) exec -a "$work/repo/wine/program" sleep 1000 ;;
esac
EOF
    chmod +x "$work/repo/wine/wine64"
    fake_run
    expect_failure $? "scrived did not come up within [0-9]+ s"
    expect_nothing_left "$work/repo/wine/program"
    ;;

  *)
    echo "run_test.sh: no case $case" >&2
    exit 2
    ;;
esac
finish
