# Sourced by scripts/test and scripts/run: which of the two build trees this
# host can run. Sets kestle_i686_blocked to why the i686 tree (32-bit code,
# 32-bit Wine) cannot run here, or to nothing when it can.
# KESTLE_64BIT_ONLY=1 takes the path of a host that runs 64-bit code only, on
# any host.
if [[ ${KESTLE_64BIT_ONLY:-0} == 1 ]]; then
  kestle_i686_blocked="KESTLE_64BIT_ONLY=1 takes the 64-bit-only path"
elif ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  # The 32-bit loader fails at once where no 32-bit code runs.
  kestle_i686_blocked="this host runs 64-bit code only, and 32-bit Wine with it"
else
  kestle_i686_blocked=""
fi
