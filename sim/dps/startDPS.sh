#!/bin/sh
# Stand-in of a DPS control script: appends
# "<script> <epoch seconds.ms> <pid> <ppid> <session id>" to the
# record file ($DPS_SIM_RECORD, default /tmp/dps-sim/record.log) and ends.
record="${DPS_SIM_RECORD:-/tmp/dps-sim/record.log}"
mkdir -p "$(dirname "$record")"
printf '%s %s %s %s %s\n' "$(basename "$0")" "$(date +%s.%3N)" "$$" "$PPID" \
  "$(cut -d' ' -f6 /proc/$$/stat)" >> "$record"
