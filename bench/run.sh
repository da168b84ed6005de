#!/usr/bin/env bash
# quillrun benchmarks.  Records a realistic workload with a throwaway server
# and pgbench, grows its logs (stderr, CSV and jsonlog) to a few hundred MB
# each by repeating them with shifted session ids, and measures quillrun
# against reference runs made in the same invocation.  Prints one table.
#
#   bench/run.sh [TARGET_MB]        (default 300)
#
# Needs what scripts/demo.sh needs, plus GNU time (/usr/bin/time, installed
# when missing).  Takes a few minutes; uses a directory under /tmp.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
packages+=(time bc)
install_dependencies

target_mb=${1:-300}
build_release

work=$(mktemp -d /tmp/quillrun-bench.XXXXXX)
chmod 755 "$work"
servers=()
cleanup() {
    for server in "${servers[@]}"; do scripts/pgserver.sh stop "$server" || true; done
    rm -rf "$work"
}
trap cleanup EXIT
start_server() {  # DIR [pgserver.sh options]
    scripts/pgserver.sh start "$@"
    servers+=("$1")
}

export PGUSER=postgres PGPORT=5432 PGDATABASE=postgres
bindir=$(scripts/pgserver.sh bindir)
pgbench=$bindir/pgbench
rows=()
row() { rows+=("$(printf '%-44s %12s %12s %10s' "$@")"); }

# Runs a command under GNU time; sets elapsed, cpu (user+system) and rss (MB).
measure() {
    /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
    read -r elapsed user system rss_kb <"$work/time"
    cpu=$(echo "$user + $system" | bc -l)
    rss=$((rss_kb / 1024))
}
ratio() { echo "scale=1; 100 * $1 / $2" | bc -l; }
best_of_three() {  # keeps the fastest of three runs in elapsed/cpu/rss
    local best_elapsed=999999 best_cpu best_rss
    for _ in 1 2 3; do
        measure "$@"
        if (( $(echo "$elapsed < $best_elapsed" | bc -l) )); then
            best_elapsed=$elapsed best_cpu=$cpu best_rss=$rss
        fi
    done
    elapsed=$best_elapsed cpu=$best_cpu rss=$best_rss
}

echo "Recording a pgbench workload..." >&2
start_server "$work/rec" --record
PGHOST=$work/rec PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
for mode in simple extended prepared; do
    PGHOST=$work/rec "$pgbench" -n -c 8 -j 2 -T 8 -M "$mode" >/dev/null 2>&1
done
sleep 1
scripts/pgserver.sh stop "$work/rec"

# Repeats the recorded log until it reaches the target size.  Each copy
# gets its own session ids: the first two hex digits of the high run become
# the copy's number.
grow() {  # SOURCE TARGET SEPARATOR
    local source=$1 target=$2 sep=$3 copy=0
    : >"$target"
    while [ "$(stat -c %s "$target")" -lt $((target_mb * 1024 * 1024)) ] && [ $copy -lt 256 ]; do
        local tag; tag=$(printf '%02x' $copy)
        sed -E "s/([${sep}])[0-9a-f]{2}([0-9a-f]{6}\.[0-9a-f]+[${sep}])/\1${tag}\2/" "$source" >>"$target"
        copy=$((copy + 1))
    done
}
echo "Growing the logs to ${target_mb} MB..." >&2
grow "$work/rec/log/postgresql" "$work/big.log" '|'
grow "$work/rec/log/postgresql.csv" "$work/big.csv" ','
grow "$work/rec/log/postgresql.json" "$work/big.json" '"'
log_mb=$(( $(stat -c %s "$work/big.log") / 1048576 ))
csv_mb=$(( $(stat -c %s "$work/big.csv") / 1048576 ))
json_mb=$(( $(stat -c %s "$work/big.json") / 1048576 ))

printf '%-44s %12s %12s %10s\n' "measurement" "time (s)" "vs reference" "peak MB"
parse_case() {  # LABEL FILE ARGS...
    local label=$1 file=$2; shift 2
    best_of_three cat "$file"
    local cat_elapsed=$elapsed
    row "cat $label (reference)" "$cat_elapsed" "100%" "$rss"
    best_of_three "$quillrun" -f -o /dev/null "$@" "$file"
    row "quillrun -f -o /dev/null $label" "$elapsed" "$(ratio "$cat_elapsed" "$elapsed")%" "$rss"
    best_of_three "$quillrun" -n "$@" "$file"
    row "quillrun -n $label" "$elapsed" "$(ratio "$cat_elapsed" "$elapsed")%" "$rss"
}
echo "Parsing..." >&2
parse_case "stderr log (${log_mb} MB)" "$work/big.log"
parse_case "CSV log (${csv_mb} MB)" "$work/big.csv" -c
parse_case "jsonlog (${json_mb} MB)" "$work/big.json"

# -P: the same log read by its prefix given explicitly, and rewritten to a
# prefix whose names are found by the literal text after them.
best_of_three "$quillrun" -f -o /dev/null "$work/big.log"
default_elapsed=$elapsed
row "quillrun -f stderr log (reference)" "$default_elapsed" "100%" "$rss"
best_of_three "$quillrun" -f -o /dev/null -P '%m|%u|%d|%c|' "$work/big.log"
row "quillrun -f -P '%m|%u|%d|%c|' stderr log" "$elapsed" "$(ratio "$default_elapsed" "$elapsed")%" "$rss"
sed -E '/^[0-9]/s/^([^|]+)\|([^|]*)\|([^|]*)\|([^|]*)\|/\1 [\4] \2@\3 /' "$work/big.log" >"$work/big-p.log"
best_of_three "$quillrun" -f -o /dev/null -P '%m [%c] %q%u@%d ' "$work/big-p.log"
row "quillrun -f -P '%m [%c] %q%u@%d ' same log" "$elapsed" "$(ratio "$default_elapsed" "$elapsed")%" "$rss"
rm -f "$work/big-p.log"

# One pgbench workload recorded twice, with log_statement = 'all' and with
# log_min_duration_statement = 0 alone, and parsed in dry runs.  For the
# same statements the duration log is about twice as large (parse and bind
# steps have entries of their own), so the rate per MB is shown as well.
echo "Recording a workload with duration entries..." >&2
record_fixed() {  # DIR SETTING...
    local dir=$1; shift
    start_server "$dir" --record "$@"
    PGHOST=$dir PGOPTIONS='-c log_statement=none -c log_min_duration_statement=-1' \
        "$pgbench" -i -q -s 2 >/dev/null 2>&1
    for mode in simple extended prepared; do
        PGHOST=$dir "$pgbench" -n -c 8 -j 2 -t 3000 -M "$mode" >/dev/null 2>&1
    done
    sleep 1
    scripts/pgserver.sh stop "$dir"
}
record_fixed "$work/stmt" "log_statement = 'all'"
record_fixed "$work/dur" "log_statement = 'none'" "log_min_duration_statement = 0"
duration_case() {  # LABEL FILE_NAME ARGS...
    local label=$1 name=$2; shift 2
    local stmt_file=$work/stmt/log/$name dur_file=$work/dur/log/$name
    local stmt_bytes dur_bytes stmt_elapsed
    stmt_bytes=$(stat -c %s "$stmt_file")
    dur_bytes=$(stat -c %s "$dur_file")
    best_of_three "$quillrun" -n "$@" "$stmt_file"
    stmt_elapsed=$elapsed
    row "quillrun -n $label, log_statement ($((stmt_bytes / 1048576)) MB)" "$elapsed" "100%" "$rss"
    best_of_three "$quillrun" -n "$@" "$dur_file"
    row "  ... same workload, durations ($((dur_bytes / 1048576)) MB)" "$elapsed" \
        "$(ratio "$stmt_elapsed" "$elapsed")%" "$rss"
    row "  ... durations, rate per MB" "-" \
        "$(ratio "($dur_bytes * $stmt_elapsed)" "($stmt_bytes * $elapsed)")%" "-"
}
duration_case "stderr log" postgresql
duration_case "CSV log" postgresql.csv -c
duration_case "jsonlog" postgresql.json

"$quillrun" -f -o "$work/big.qr" "$work/big.log" >/dev/null 2>&1
qr_mb=$(( $(stat -c %s "$work/big.qr") / 1048576 ))
best_of_three cat "$work/big.qr"
cat_elapsed=$elapsed
row "cat replay file (${qr_mb} MB, reference)" "$cat_elapsed" "100%" "$rss"
best_of_three "$quillrun" -r -n "$work/big.qr"
row "quillrun -r -n replay file" "$elapsed" "$(ratio "$cat_elapsed" "$elapsed")%" "$rss"

echo "Replay CPU against pgbench..." >&2
start_server "$work/src" --record
PGHOST=$work/src PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
measure env PGHOST="$work/src" "$pgbench" -n -c 4 -j 1 -t 2000 -M simple
pgbench_cpu=$cpu
statements=$((4 * 2000 * 7))
sleep 1
scripts/pgserver.sh stop "$work/src"
"$quillrun" -f -o "$work/pgbench.qr" "$work/src/log/postgresql" >/dev/null 2>&1
start_server "$work/dst"
PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
measure "$quillrun" -r -j -h "$work/dst" "$work/pgbench.qr"
replayed=$(grep -o 'SQL statements executed: [0-9]*' "$work/stdout" | grep -o '[0-9]*$')
pgbench_us=$(echo "scale=2; 1000000 * $pgbench_cpu / $statements" | bc -l)
quillrun_us=$(echo "scale=2; 1000000 * $cpu / $replayed" | bc -l)
row "pgbench CPU per statement (reference, us)" "$pgbench_us" "100%" "-"
row "quillrun -r -j CPU per statement (us)" "$quillrun_us" "$(ratio "$quillrun_us" "$pgbench_us")%" "$rss"

echo "Replay order and pace..." >&2
# Select-only pgbench, recorded, then replayed as fast as the recorded order
# allows (-j) onto the target that pgbench itself runs the same
# transactions against.
start_server "$work/select" --record
PGHOST=$work/select PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
PGHOST=$work/select "$pgbench" -n -S -c 4 -j 1 -t 5000 >/dev/null 2>&1
sleep 1
scripts/pgserver.sh stop "$work/select"
"$quillrun" -f -o "$work/select.qr" "$work/select/log/postgresql" >/dev/null 2>&1
best_of_three env PGHOST="$work/dst" "$pgbench" -n -S -c 4 -j 1 -t 5000
pgbench_elapsed=$elapsed
best_of_three "$quillrun" -r -j -h "$work/dst" "$work/select.qr"
row "pgbench -S, 4 clients x 5000 (reference)" "$pgbench_elapsed" "100%" "-"
row "quillrun -r -j of its recording (rate)" "$elapsed" "$(ratio "$pgbench_elapsed" "$elapsed")%" "$rss"

lag_of() { grep -o 'Maximum lag behind schedule: [0-9]*' "$work/stdout" | grep -o '[0-9]*$'; }
# Short sessions one after another, 3 ms apart: each connects, runs one
# statement and leaves, faster than one connection can be set up.
awk 'BEGIN {
    for (i = 0; i < 400; i++) {
        t = 3 * i
        printf "2026-01-01 10:00:%02d.%03d UTC|postgres|postgres|2.%x|LOG:  connection authorized: user=postgres database=postgres\n", int(t / 1000), t % 1000, i + 1
        printf "2026-01-01 10:00:%02d.%03d UTC|postgres|postgres|2.%x|LOG:  statement: SELECT 1\n", int((t + 1) / 1000), (t + 1) % 1000, i + 1
        printf "2026-01-01 10:00:%02d.%03d UTC|postgres|postgres|2.%x|LOG:  disconnection: session time: 0:00:00.002\n", int((t + 2) / 1000), (t + 2) % 1000, i + 1
    }
}' >"$work/short.log"
measure "$quillrun" -h "$work/dst" "$work/short.log"
row "400 short sessions in 1.2 s (max lag $(lag_of) s)" "$elapsed" "-" "$rss"

# A TPC-B recording made at full speed, replayed at the recorded pace.
start_server "$work/full" --record
PGHOST=$work/full PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
PGHOST=$work/full "$pgbench" -n -c 4 -j 2 -T 5 >/dev/null 2>&1
sleep 1
scripts/pgserver.sh stop "$work/full"
PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
measure "$quillrun" -h "$work/dst" "$work/full/log/postgresql"
row "TPC-B recorded at full speed, 5 s (max lag $(lag_of) s)" "$elapsed" "-" "$rss"

# One statement whose result is a million rows: read row by row, what the
# replay spends per row and holds at once.
printf '%s\n' \
    "2026-01-01 10:00:00.000 UTC|postgres|postgres|3.1|LOG:  connection authorized: user=postgres database=postgres" \
    "2026-01-01 10:00:00.001 UTC|postgres|postgres|3.1|LOG:  statement: SELECT repeat('x', 100) FROM generate_series(1, 1000000)" \
    "2026-01-01 10:00:00.002 UTC|postgres|postgres|3.1|LOG:  disconnection: session time: 0:00:00.002" \
    >"$work/rows.log"
measure "$quillrun" -h "$work/dst" "$work/rows.log"
row "CPU per row of a 1,000,000-row result (us)" "$(echo "scale=3; $cpu" | bc -l)" "-" "$rss"

# Synthetic logs: one session that sleeps, optionally beside idle ones, and
# 1100 sessions that are all connected at once.
synthetic_log() {  # SESSIONS SLEEPER_SECONDS IDLE_SECONDS
    awk -v n="$1" -v sleep="$2" -v idle="$3" 'BEGIN {
        for (i = 0; i < n; i++)
            printf "2026-01-01 10:00:00.%03d UTC|postgres|postgres|1.%x|LOG:  connection authorized: user=postgres database=postgres\n", i % 1000, i + 1
        printf "2026-01-01 10:00:01.000 UTC|postgres|postgres|1.1|LOG:  statement: SELECT pg_sleep(%s)\n", sleep
        for (i = 1; i < n; i++)
            printf "2026-01-01 10:00:01.000 UTC|postgres|postgres|1.%x|LOG:  statement: SELECT 1\n", i + 1
        end = 1 + idle
        for (i = 0; i < n; i++)
            printf "2026-01-01 10:00:%02d.000 UTC|postgres|postgres|1.%x|LOG:  disconnection: session time: 0:00:05.000\n", end, i + 1
    }'
}
echo "Waiting and concurrency..." >&2
start_server "$work/wait" "max_connections = 1200"
synthetic_log 1 5 5 >"$work/sleep1.log"
measure "$quillrun" -h "$work/wait" "$work/sleep1.log"
row "CPU while one session waits 5 s (% core)" "$elapsed" "$(ratio "$cpu" "$elapsed")%" "$rss"
synthetic_log 50 5 5 >"$work/sleep50.log"
measure "$quillrun" -h "$work/wait" "$work/sleep50.log"
row "  ... beside 49 idle sessions (% core)" "$elapsed" "$(ratio "$cpu" "$elapsed")%" "$rss"
ulimit -n "$(ulimit -Hn)"
synthetic_log 1100 2 3 >"$work/many.log"
# The server forks one process per connection, in turn; on a machine where
# that is slow the last of 1100 would miss the default 10 s deadline.
measure "$quillrun" -h "$work/wait" -X connect_timeout=120 "$work/many.log"
most=$(grep -o 'Maximum number of concurrent connections: [0-9]*' "$work/stdout" | grep -o '[0-9]*$')
row "1100 sessions at once (max concurrent $most)" "$elapsed" "-" "$rss"

printf '%s\n' "${rows[@]}"
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo); $(date -u +%Y-%m-%d)"
