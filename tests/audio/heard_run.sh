#!/usr/bin/env bash
# Runs a test program of the audio device with a recorder listening: a null
# sink of the run's own on the test run's sound server (PULSE_SERVER), in the
# device's format, so that samples reach it bit for bit, and the sound
# server's recorder (parec, a second process) writing what reaches the sink
# into a file, which the program reads back (KT_HEARD_RECORDING). Only the
# program plays on that sink, so nothing else is heard in the recording.
#
#   heard_run.sh TOOLS_DIR WORK_DIR PROGRAM ARGS...
#
# Listing the tests runs the program alone. A recording of a run that failed
# is kept in WORK_DIR.
set -uo pipefail
tools=$1 work=$2
shift 2
for arg in "$@"; do
  [[ $arg == --gtest_list_tests ]] && exec "$tools/wine-run" "$@"
done
if [[ -z ${PULSE_SERVER:-} ]]; then
  echo "heard_run.sh: PULSE_SERVER names no sound server" >&2
  exit 1
fi
for tool in pactl parec; do
  command -v "$tool" >/dev/null || { echo "heard_run.sh: $tool is missing (package pulseaudio-utils)" >&2; exit 1; }
done

mkdir -p "$work" || exit 1
sink=kestle_heard_$$
recording=$work/$sink.raw
module=
recorder=
finish() {
  if [[ -n $recorder ]]; then
    kill "$recorder" 2>/dev/null
    wait "$recorder" 2>/dev/null
  fi
  [[ -n $module ]] && timeout 20 pactl unload-module "$module" >/dev/null 2>&1
}
trap finish EXIT

module=$(timeout 20 pactl load-module module-null-sink "sink_name=$sink" format=s16le rate=44100 channels=2 \
  "sink_properties=device.description=$sink") || {
  echo "heard_run.sh: no null sink could be made on $PULSE_SERVER" >&2
  module=
  exit 1
}
# The recorder asks for little latency, so that what plays reaches the file
# soon; the null sink makes silence when nothing plays, so the file grows
# from the start.
parec -d "$sink.monitor" --raw --format=s16le --rate=44100 --channels=2 --latency-msec=50 \
  --client-name=kestle-heard-recorder >"$recording" 2>"$work/$sink.parec.log" &
recorder=$!
ready=
for _ in $(seq 300); do
  kill -0 "$recorder" 2>/dev/null || break
  (($(stat -c %s "$recording" 2>/dev/null || echo 0) >= 17640)) && { ready=1; break; }
  sleep 0.05
done
if [[ -z $ready ]]; then
  echo "heard_run.sh: the recorder did not start recording the sink within 15 s:" >&2
  cat "$work/$sink.parec.log" >&2
  exit 1
fi

# Wine's stream to the sound server gets a second of latency: a busy
# machine's late Wine threads then leave the sound server no underrun of its
# own (silence, and sound dropped after it), which the library could neither
# see nor count. The library's own underruns are not hidden by it.
PULSE_SINK=$sink PULSE_LATENCY_MSEC=1000 KT_HEARD_RECORDING=$recording "$tools/wine-run" "$@"
status=$?
if ((status == 0)); then
  rm -f "$recording" "$work/$sink.parec.log"
else
  echo "heard_run.sh: the recording is kept in $recording (44100 Hz stereo s16le)" >&2
fi
exit $status
