# What the benchmark scripts read of Wine's processes under /proc. Source it after
# tests/wine/lib.sh, which sets this run's WINEPREFIX.

# prefix_processes: "PID<tab>NAME<tab>COMMAND LINE" for every Wine process of this prefix (a
# Linux process running a Wine binary whose environment names the prefix). Wine runs each
# Windows process as a Linux process whose command line is the Windows one (or the Unix path
# given to wine), and its wineserver as "wineserver64".
prefix_processes() {
  local environ dir
  for environ in $(grep -lzsxF "WINEPREFIX=$WINEPREFIX" /proc/[0-9]*/environ); do
    dir=${environ%/environ}
    [[ $(readlink "$dir/exe") =~ /wine[^/]*$ ]] || continue
    printf '%s\t%s\t%s\n' "${dir#/proc/}" "$(cat "$dir/comm")" "$(tr '\0' ' ' <"$dir/cmdline" | sed 's/ *$//')"
  done 2>/dev/null
}

# wine_pid TEXT: the pid of this prefix's process whose command line holds TEXT.
wine_pid() { prefix_processes | awk -F'\t' -v text="$1" 'index($3, text) { print $1; found = 1; exit } END { exit !found }'; }

# This prefix's wineserver, which does the work of every process's server calls.
wineserver_pid() { prefix_processes | awk -F'\t' '$2 ~ /^wineserver/ { print $1; found = 1; exit } END { exit !found }'; }

# task_runtimes PID: "TID NANOSECONDS" for each live thread, its time on a CPU so far.
task_runtimes() {
  local stat
  for stat in /proc/"$1"/task/*/schedstat; do
    read -r ns _ <"$stat" 2>/dev/null || continue
    stat=${stat%/schedstat}
    echo "${stat##*/} $ns"
  done
}

# memory_kb PID: "RESIDENT PRIVATE_DIRTY" in kB.
memory_kb() { awk '/^Rss:/ { r = $2 } /^Private_Dirty:/ { p = $2 } END { print r, p }' "/proc/$1/smaps_rollup"; }

# private_by_kind PID: "KIND<tab>KB" of private dirty memory for each kind of mapping:
#   stacks: thread stacks, which Wine maps as one anonymous region per thread of the stack's
#     reserve (at least 1 MiB) plus 1 MiB of its own, less 8 KiB: 2,040, 3,064, ... kB;
#   image: the executable, at MinGW's image base 0x140000000;
#   dlls: Windows DLLs mapped from their files; unix: Wine's loader, Unix libraries and their heap;
#   heap: the rest, anonymous: the Windows heaps and other allocations.
# A last line "threads<tab>N" counts the stack regions.
private_by_kind() {
  perl -ne '
    if (/^([0-9a-f]+)-([0-9a-f]+) (\S+) \S+ \S+ \S+\s*(.*)$/) {
      my ($start, $end, $perm, $name) = (hex $1, hex $2, $3, $4);
      my $kb = ($end - $start) / 1024;
      if ($start >= 0x140000000 && $start < 0x150000000) { $kind = "image" }
      elsif ($name eq "" && $perm eq "rw-p" && $kb >= 2040 && $kb % 1024 == 1016) { $kind = "stacks"; $threads++ }
      elsif ($name =~ /\.(dll|drv|exe|sys|ocx|cpl)$/i) { $kind = "dlls" }
      elsif ($name ne "") { $kind = "unix" }
      else { $kind = "heap" }
    } elsif (/^Private_Dirty:\s+(\d+)/) { $total{$kind} += $1 }
    END { print "$_\t", $total{$_} // 0, "\n" for qw(stacks image heap dlls unix); print "threads\t", $threads // 0, "\n" }
  ' "/proc/$1/smaps"
}
