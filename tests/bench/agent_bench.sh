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

window=600
windows=3
counts=0,100,300
settle=30
while [ $# -gt 0 ]; do
  case "$1" in
    --window) window=$2; shift 2 ;;
    --windows) windows=$2; shift 2 ;;
    --counts) counts=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    *) echo "usage: agent_bench.sh [--window SECONDS] [--windows N] [--counts 0,100,300] [--settle SECONDS]" >&2
       exit 2 ;;
  esac
done
IFS=, read -r -a counts <<<"$counts"
mapfile -t counts < <(printf '%s\n' "${counts[@]}" | sort -n)

# What the run needs, built (or found up to date) first; the web API is the optimised one when
# the bench preset is configured.
cd "$root" || exit 1
built() { "$@" >"$root/build/agent-bench-build.log" 2>&1 || { echo "'$*' failed, see build/agent-bench-build.log" >&2; exit 1; }; }
mkdir -p build
native=build/native
[ -f build/bench/CMakeCache.txt ] && native=build/bench
built cmake --preset windows
built cmake --build --preset windows --target ostrivel bare_sampler_windows idle_windows
[ -f "$native/CMakeCache.txt" ] || built cmake --preset native
built cmake --build "$native" -j2 --target ostrivel-api

export OSTRIVEL_SOURCE_DIR="$root" OSTRIVEL_BUILD_DIR="$root/build/windows"
export OSTRIVEL_WINE_TEMPLATE="$root/build/windows/wine/template" OSTRIVEL_NATIVE_BUILD_DIR="$root/$native"
bash "$root/tests/wine/make-prefix.sh" "$OSTRIVEL_WINE_TEMPLATE" || exit 1
# A private prefix and ProgramData; on exit (Ctrl+C included) the API stops, this prefix's
# wineserver is killed and the folder goes.
source "$root/tests/wine/lib.sh"
trap 'exit 130' INT TERM HUP
bench_dir="$OSTRIVEL_BUILD_DIR/tests/bench"

start_api --auto-approve --cadence 1 || exit 1
export OSTRIVEL_API_URL="$API_URL"

source "$root/tests/bench/proc_lib.sh"

echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -n 1), $(wine --version 2>/dev/null)"
echo "windows of ${window} s, ${windows} per count, extra idle processes: ${counts[*]}; load average now: $(cut -d' ' -f1-3 /proc/loadavg)"

# One at a time: the first start of a copied prefix settles Wine's own processes.
names=(agent bare idle)
declare -A pid
start_and_find() {  # start_and_find NAME TEXT_OF_ITS_COMMAND_LINE COMMAND...
  local name=$1 text=$2
  shift 2
  "$@" </dev/null >>"$WORK/$name.out" 2>&1 &
  if ! wait_for 120 wine_pid "$text" >/dev/null; then
    echo "could not find the Linux process of '$name' in $WINEPREFIX:" >&2
    prefix_processes >&2
    cat "$WORK/$name.out" >&2
    exit 1
  fi
  pid[$name]=$(wine_pid "$text")
}
at_exit "wineserver -k"
start_and_find agent 'ostrivel.exe -run' wine "$AGENT_EXE" -run
start_and_find bare bare_sampler_windows.exe wine "$bench_dir/bare_sampler_windows.exe"
start_and_find idle 'idle_windows.exe floor' wine "$bench_dir/idle_windows.exe" floor
pid[server]=$(wineserver_pid) || { echo "no wineserver for $WINEPREFIX" >&2; exit 1; }
echo "Linux pids: agent ${pid[agent]}, bare loop ${pid[bare]}, idle ${pid[idle]}, wineserver ${pid[server]}"

if ! wait_for 120 grep -qF '[service] pipeline starting' "$WORK/agent.out"; then
  echo "the agent did not enrol and start its pipeline:" >&2
  cat "$WORK/agent.out" >&2
  exit 1
fi
echo "enrolled; settling ${settle} s"
sleep "$settle"

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mib() { awk -v kb="$1" 'BEGIN { printf "%.1f", kb / 1024 }'; }
now_us() { echo "${EPOCHREALTIME/./}"; }
gone() { echo "the $1 process (pid ${pid[$1]}) is gone" >&2; exit 1; }

# Every 5 s each process's threads and memory are read. A thread's CPU time is its time on a
# CPU (schedstat, in nanoseconds) when last seen less when first seen in the window (0 for one
# born in it), so the threads WinHTTP starts and ends count too. Of memory, the lowest level over
# the first and over the last minute of a window is kept: after each upload WinHTTP runs a thread
# for about 30 s, whose stack comes and goes with it, and a level read at one instant would show
# it or not by chance.
edge_s=$((window < 180 ? window / 3 : 60))
declare -A cpu low_first low_last
# measure_window: CPU % of one core of each process (and the wineserver) over one window,
# appended to cpu[NAME]; the lowest "RSS DIRTY" (kB) of each over its edges in low_first and
# low_last.
measure_window() {
  local name start_us end_us now elapsed_us key tid ns rss dirty total first=1
  declare -A first_seen last_seen
  for name in "${names[@]}" server; do
    low_first[$name]="" low_last[$name]=""
  done
  start_us=$(now_us)
  end_us=$((start_us + window * 1000000))
  while :; do
    now=$(now_us)
    for name in "${names[@]}" server; do
      [ -d "/proc/${pid[$name]}" ] || gone "$name"
      while read -r tid ns; do
        key="$name $tid"
        # A thread first seen after the start was born in the window: all its time counts.
        [ -n "${first_seen[$key]:-}" ] || first_seen[$key]=$((first ? ns : 0))
        last_seen[$key]=$ns
      done < <(task_runtimes "${pid[$name]}")
      [ "$name" != server ] || continue
      read -r rss dirty < <(memory_kb "${pid[$name]}") || gone "$name"
      if [ $((now - start_us)) -le $((edge_s * 1000000)) ]; then low_first[$name]=$(lower "${low_first[$name]}" "$rss" "$dirty"); fi
      if [ $((end_us - now)) -le $((edge_s * 1000000 + 5000000)) ]; then low_last[$name]=$(lower "${low_last[$name]}" "$rss" "$dirty"); fi
    done
    first=0
    [ $((end_us - now)) -gt 0 ] || break
    sleep "$(awk -v r=$((end_us - now)) 'BEGIN { s = r / 1e6; print (s < 5) ? s : 5 }')"
  done
  elapsed_us=$((now - start_us))
  for name in "${names[@]}" server; do
    total=0
    for key in "${!last_seen[@]}"; do
      [ "${key%% *}" = "$name" ] && total=$((total + last_seen[$key] - first_seen[$key]))
    done
    cpu[$name]+="$(awk -v ns="$total" -v us="$elapsed_us" 'BEGIN { printf "%.4f", ns / 1000 / us * 100 }') "
  done
}
# lower "RSS DIRTY"|"" RSS DIRTY: each field's lower value.
lower() {
  if [ -z "$1" ]; then echo "$2 $3"; return; fi
  local r d
  read -r r d <<<"$1"
  echo "$((r < $2 ? r : $2)) $((d < $3 ? d : $3))"
}
last_of() { awk '{ print $NF }' <<<"$1"; }

table=()
added=0
for count in "${counts[@]}"; do
  if [ "$count" -gt "$added" ]; then
    wine "$bench_dir/idle_windows.exe" $((count - added)) </dev/null >/dev/null 2>&1
    added=$count
    echo "started $added extra idle processes ($(count_wine_processes) Wine processes in the prefix); settling ${settle} s"
    sleep "$settle"
  fi
  for name in "${names[@]}" server; do cpu[$name]=""; done
  declare -A memory_start=() memory_end=()
  for ((w = 1; w <= windows; w++)); do
    measure_window
    if [ "$w" -eq 1 ]; then
      for name in "${names[@]}"; do memory_start[$name]=${low_first[$name]}; done
    fi
    for name in "${names[@]}"; do memory_end[$name]=${low_last[$name]}; done
    echo "window $w/$windows at +$count processes: agent $(last_of "${cpu[agent]}")%, bare loop $(last_of "${cpu[bare]}")%, idle $(last_of "${cpu[idle]}")%, wineserver $(last_of "${cpu[server]}")%; load $(cut -d' ' -f1 /proc/loadavg)"
  done
  for name in "${names[@]}" server; do
    values=${cpu[$name]}
    percent=$(tr ' ' '\n' <<<"$values" | grep . | median)
    ratio=-
    if [ "$name" = agent ]; then
      # Agent and bare loop share each window (and its noise): the median of the window ratios.
      ratio=$(paste -d' ' <(tr ' ' '\n' <<<"${cpu[agent]}" | grep .) <(tr ' ' '\n' <<<"${cpu[bare]}" | grep .) |
              awk '{ print ($2 > 0) ? $1 / $2 : 1e9 }' | median)
      ratio=$(awk -v r="$ratio" 'BEGIN { printf((r >= 1e9) ? "-" : "%.2f", r) }')
    fi
    case $name in
      agent) label="agent (-run)" ;;
      bare) label="bare sampling loop" ;;
      idle) label="idle process" ;;
      server) label="wineserver (all)" ;;
    esac
    if [ "$name" = server ]; then
      table+=("$(printf '%6s  %-19s %7.3f  %-25s %5s  %-13s %-13s' "+$count" "$label" "$percent" "$values" - - -)")
      continue
    fi
    read -r rss0 dirty0 <<<"${memory_start[$name]}"
    read -r rss1 dirty1 <<<"${memory_end[$name]}"
    table+=("$(printf '%6s  %-19s %7.3f  %-25s %5s  %-13s %-13s' "+$count" "$label" "$percent" "$values" "$ratio" \
                "$(mib "$rss0") -> $(mib "$rss1")" "$(mib "$dirty0") -> $(mib "$dirty1")")")
  done
done

echo
echo "CPU: % of one core, the median of the windows and each window; ratio: the median of the agent/bare-loop"
echo "ratios of the windows. Memory (MiB): lowest level over the first minute of the first window and over the"
echo "last minute of the last window of each count."
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
