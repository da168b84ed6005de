#!/usr/bin/env bash
# Peak memory and time of the per-statement report (-R) in dry runs of
# synthetic logs: a growing number of statements in a fixed number of
# statement groups, then ten times as many groups, each beside the same dry
# run without -R.  The report's memory follows the groups, not the
# statements.
#
#   bench/report_memory.sh [GROUPS]      (default 300)
#
# Uses build/release/quillrun, brought up to date first, and a directory
# under /tmp (the largest log is about 150 MB).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
packages+=(time bc)
install_dependencies
build_release

groups=${1:-300}
work=$(mktemp -d /tmp/quillrun-report-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Sessions of 1000 statements, one every millisecond.  Statement k of a
# session has shape k mod GROUPS; every fourth shape is a named prepared
# statement, executed with a bind value, the others simple statements with
# literals that differ from call to call.
synthetic_log() {  # STATEMENTS GROUPS
    awk -v n="$1" -v g="$2" 'function stamp(ms) {
            return sprintf("2026-01-01 %02d:%02d:%02d.%03d UTC", 10 + int(ms / 3600000),
                           int(ms / 60000) % 60, int(ms / 1000) % 60, ms % 1000)
        }
        BEGIN {
            srand(1)
            for (i = 0; i < n; i++) {
                session = int(i / 1000)
                prefix = stamp(i) "|app|shop|1000." sprintf("%x", session + 1) "|"
                if (i % 1000 == 0)
                    print prefix "LOG:  connection authorized: user=app database=shop"
                k = i % g
                id = int(rand() * 1000000)
                if (k % 4 == 0) {
                    printf "%sLOG:  execute s%d: SELECT c%d, name FROM t%d WHERE id = $1\n", prefix, k, k, k
                    printf "%sDETAIL:  parameters: $1 = '\''%d'\''\n", prefix, id
                } else {
                    printf "%sLOG:  statement: SELECT c%d, name FROM t%d WHERE id = %d AND v > %d\n",
                           prefix, k, k, id, id % 97
                }
                if (i % 1000 == 999 || i == n - 1)
                    print prefix "LOG:  disconnection: session time: 0:00:01.000 user=app database=shop host=[local]"
            }
        }'
}

measure() {  # COMMAND...: sets elapsed and rss (MB)
    /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
    read -r elapsed rss_kb <"$work/time"
    rss=$(echo "scale=1; $rss_kb / 1024" | bc -l)
}

printf '%-12s %-8s %-14s %10s %10s %12s\n' statements groups form "time (s)" "peak MB" "report KB"
for case in "100000 $groups" "1000000 $groups" "1000000 $((groups * 10))"; do
    read -r statements shapes <<<"$case"
    synthetic_log "$statements" "$shapes" >"$work/workload.log"
    measure "$quillrun" -n "$work/workload.log"
    printf '%-12s %-8s %-14s %10s %10s %12s\n' "$statements" "$shapes" "-n" "$elapsed" "$rss" "-"
    measure "$quillrun" -n -R "$work/report.json" "$work/workload.log"
    found=$(grep -c '"key"' "$work/report.json")
    printf '%-12s %-8s %-14s %10s %10s %12s\n' "$statements" "$found" "-n -R" "$elapsed" "$rss" \
        "$(( $(stat -c %s "$work/report.json") / 1024 ))"
done
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo); $(date -u +%Y-%m-%d)"
