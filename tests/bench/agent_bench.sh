#!/usr/bin/env bash
# What the whole agent costs a PC, run by hand (prints figures; not a test). In one Wine prefix
# and one run: ostrivel.exe -run against the local web API (approving by itself, cadence 1), a
# bare sampling loop (the native process list and busy time every 5 s, the service list every
# minute, nothing else) and an idle process as the floor. After the enrolment and a settling
# pause, each is measured over windows from /proc/<pid>/task/*/schedstat and smaps_rollup, at
# several counts of extra idle Windows processes; one table at the end.
#   bash tests/bench/agent_bench.sh [--window SECONDS] [--windows N] [--counts 0,100,300] [--settle SECONDS]
# Defaults: three windows of 600 s at 0, 100 and 300 extra processes, 30 s of settling (about
# 95 minutes). Builds what it needs (presets windows, and bench or native for the web API).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
window=600 windows=3 counts=0,100,300 settle=30
while [ $# -gt 1 ]; do
  case "$1" in
    --window | --windows | --counts | --settle) printf -v "${1#--}" '%s' "$2"; shift 2 ;;
    *) break ;;
  esac
done
[ $# -eq 0 ] || { echo "usage: agent_bench.sh [--window SECONDS] [--windows N] [--counts 0,100,300] [--settle SECONDS]" >&2; exit 2; }
mapfile -t counts < <(tr , '\n' <<<"$counts" | sort -n)

# What the run needs, built (or found up to date) first; the web API is the optimised one when
# the bench preset is configured.
cd "$root" || exit 1
mkdir -p build
built() { "$@" >"$root/build/agent-bench-build.log" 2>&1 || { echo "'$*' failed, see build/agent-bench-build.log" >&2; exit 1; }; }
native=build/native
[ -f build/bench/CMakeCache.txt ] && native=build/bench
built cmake --preset windows
built cmake --build --preset windows --target ostrivel bare_sampler_windows idle_windows
[ -f "$native/CMakeCache.txt" ] || built cmake --preset native
built cmake --build "$native" -j2 --target ostrivel-api

export OSTRIVEL_SOURCE_DIR="$root" OSTRIVEL_BUILD_DIR="$root/build/windows" OSTRIVEL_NATIVE_BUILD_DIR="$root/$native"
export OSTRIVEL_WINE_TEMPLATE="$root/build/windows/wine/template"
bash "$root/tests/wine/make-prefix.sh" "$OSTRIVEL_WINE_TEMPLATE" || exit 1
# A private prefix and ProgramData; on exit (Ctrl+C included) the API stops, this prefix's
# wineserver is killed and the folder goes.
source "$root/tests/wine/lib.sh"
source "$root/tests/bench/proc_lib.sh"
trap 'exit 130' INT TERM HUP
bench_dir="$OSTRIVEL_BUILD_DIR/tests/bench"
start_api --auto-approve --cadence 1 || exit 1
export OSTRIVEL_API_URL="$API_URL"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), $(wine --version 2>/dev/null)"
echo "windows of $window s, $windows per count, extra idle processes: ${counts[*]}; load now: $(cut -d' ' -f1-3 /proc/loadavg)"

# One at a time: the first start of a copied prefix settles Wine's own processes.
names=(agent bare idle)
declare -A pid label=([agent]="agent (-run)" [bare]="bare sampling loop" [idle]="idle process" [server]="wineserver (all)")
start_and_find() {  # start_and_find NAME TEXT_OF_ITS_COMMAND_LINE COMMAND...
  local name=$1 text=$2
  shift 2
  "$@" </dev/null >>"$WORK/$name.out" 2>&1 &
  wait_for 120 wine_pid "$text" >/dev/null || { echo "no '$name' in $WINEPREFIX:" >&2; prefix_processes >&2; cat "$WORK/$name.out" >&2; exit 1; }
  pid[$name]=$(wine_pid "$text")
}
at_exit "wineserver -k"
start_and_find agent 'ostrivel.exe -run' wine "$AGENT_EXE" -run
start_and_find bare bare_sampler_windows.exe wine "$bench_dir/bare_sampler_windows.exe"
start_and_find idle 'idle_windows.exe floor' wine "$bench_dir/idle_windows.exe" floor
pid[server]=$(wineserver_pid) || { echo "no wineserver for $WINEPREFIX" >&2; exit 1; }
wait_for 120 grep -qF '[service] pipeline starting' "$WORK/agent.out" || { echo "the agent did not start:" >&2; cat "$WORK/agent.out" >&2; exit 1; }
echo "enrolled; settling $settle s"
sleep "$settle"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
now_us() { echo "${EPOCHREALTIME/./}"; }

# measure_window: every 5 s, each process's threads' times on a CPU and its memory, into
# $WORK/window; then "NAME CPU% RSS0 DIRTY0 RSS1 DIRTY1" per process. A thread's CPU time is its
# last sighting less its first (0 for one born in the window), so the threads WinHTTP starts and
# ends count too. Of memory the lowest level over the window's first and over its last minute is
# kept: WinHTTP runs a thread for about 30 s after each upload, whose stack comes and goes.
measure_window() {
  local start end now name
  start=$(now_us)
  end=$((start + window * 1000000))
  : >"$WORK/window"
  while :; do
    now=$(now_us)
    for name in "${names[@]}" server; do
      [ -d "/proc/${pid[$name]}" ] || { echo "the $name process (${pid[$name]}) is gone" >&2; exit 1; }
      task_runtimes "${pid[$name]}" | sed "s/^/cpu $name $now /" >>"$WORK/window"
      [ "$name" = server ] || echo "mem $name $now $(memory_kb "${pid[$name]}")" >>"$WORK/window"
    done
    [ "$now" -lt "$end" ] || break
    sleep "$(awk -v r=$((end - now)) 'BEGIN { s = r / 1e6; print (s < 5) ? s : 5 }')"
  done
  awk -v end="$now" -v edge=$(((window < 180 ? window / 3 : 60) * 1000000)) '
    function low(a, k, v) { if (!(k in a) || v < a[k]) a[k] = v }
    NR == 1 { start = $3 }
    $1 == "cpu" { k = $2 " " $4; if (!(k in first)) first[k] = ($3 == start) ? $5 : 0; last[k] = $5; seen[$2] = 1 }
    $1 == "mem" && $3 - start <= edge { low(r0, $2, $4); low(d0, $2, $5) }
    $1 == "mem" && end - $3 <= edge + 5000000 { low(r1, $2, $4); low(d1, $2, $5) }
    END {
      for (k in last) { split(k, p, " "); ns[p[1]] += last[k] - first[k] }
      for (n in seen) printf "%s %.4f %s %s %s %s\n", n, ns[n] / 1000 / (end - start) * 100, r0[n], d0[n], r1[n], d1[n]
    }' "$WORK/window"
}

mib() { awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'; }
table=()
added=0
for count in "${counts[@]}"; do
  if [ "$count" -gt "$added" ]; then
    wine "$bench_dir/idle_windows.exe" $((count - added)) </dev/null >/dev/null 2>&1
    added=$count
    echo "started $added extra idle processes; settling $settle s"
    sleep "$settle"
  fi
  declare -A cpu=() first=() memory=()
  for ((w = 1; w <= windows; w++)); do
    while read -r name percent rss0 dirty0 rss1 dirty1; do
      cpu[$name]+="$percent "
      [ "$w" -gt 1 ] || first[$name]="$rss0 $dirty0"
      memory[$name]="${first[$name]} $rss1 $dirty1"
    done < <(measure_window)
    [ "$(wc -w <<<"${cpu[agent]:-}")" -eq "$w" ] || exit 1
    echo "window $w/$windows at +$count: agent ${cpu[agent]}% bare loop ${cpu[bare]}%; load $(cut -d' ' -f1 /proc/loadavg)"
  done
  # Agent and bare loop share each window (and its noise): the ratio is the median of the windows'.
  ratio=$(paste -d' ' <(tr ' ' '\n' <<<"${cpu[agent]}") <(tr ' ' '\n' <<<"${cpu[bare]}") |
    awk 'NF == 2 && $2 > 0 { print $1 / $2 }' | median)
  for name in "${names[@]}" server; do
    read -r rss0 dirty0 rss1 dirty1 <<<"${memory[$name]:-}"
    resident=- private=-
    [ -z "${rss0:-}" ] || { resident="$(mib "$rss0") -> $(mib "$rss1")"; private="$(mib "$dirty0") -> $(mib "$dirty1")"; }
    table+=("$(printf '%6s  %-19s %7.3f  %-25s %5s  %-13s %-13s' "+$count" "${label[$name]}" \
      "$(tr ' ' '\n' <<<"${cpu[$name]}" | grep . | median)" "${cpu[$name]}" \
      "$([ "$name" = agent ] && printf '%.2f' "$ratio" || echo -)" "$resident" "$private")")
  done
done

echo
echo "CPU: % of one core, median and windows; ratio: median of the windows' agent/bare-loop ratios; memory (MiB): lowest level over the first minute of the first window and over the last minute of the last window of each count."
printf '%6s  %-19s %7s  %-25s %5s  %-13s %-13s\n' extra process "CPU %" windows ratio resident "private dirty"
printf '%s\n' "${table[@]}"
echo
echo "Where the private dirty memory goes (kB, now; stacks: one region per thread, live or lingering):"
printf '%-19s %8s %8s %8s %8s %8s %8s\n' process stacks image heap dlls unix threads
for name in "${names[@]}"; do
  printf '%-19s' "$name"
  private_by_kind "${pid[$name]}" | awk -F'\t' '{ printf " %8s", $2 } END { print "" }'
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
