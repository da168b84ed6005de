#!/usr/bin/env bash
# CPU that `quillrun -r -j` spends per replayed statement, next to pgbench's
# own CPU per statement for the same workload, and the cost of the
# per-statement report (-R).  Records one pgbench run per protocol (simple,
# extended, prepared), then replays each several times onto a freshly
# initialised database, with and without -R, alternating between the given
# binaries so that they share the machine's noise.
#
#   bench/replay_cpu.sh [-n RUNS] [QUILLRUN ...]
#
# QUILLRUN defaults to build/release/quillrun, which is brought up to date
# first.  Prints every run and the best of each binary, protocol and form
# and of pgbench (which runs beside them against the same database), in
# microseconds of user+system CPU per statement.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh

runs=5
if [ "${1:-}" = -n ]; then runs=$2; shift 2; fi
binaries=("$@")
if [ ${#binaries[@]} -eq 0 ]; then
    build_release
    binaries=("$quillrun")
fi

work=$(mktemp -d /tmp/quillrun-replay-cpu.XXXXXX)
chmod 755 "$work"
servers=()
cleanup() {
    for server in "${servers[@]}"; do scripts/pgserver.sh stop "$server" >/dev/null 2>&1 || true; done
    rm -rf "$work"
}
trap cleanup EXIT

export PGUSER=postgres PGPORT=5432 PGDATABASE=postgres
pgbench=$(scripts/pgserver.sh bindir)/pgbench
clients=4 transactions=2000
statements=$((clients * transactions * 7))
modes=(simple extended prepared)

cpu_of() {  # COMMAND...: prints user+system seconds
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
    awk '{ printf "%.2f\n", $1 + $2 }' "$work/time"
}
per_statement() { echo "scale=2; 1000000 * $1 / $2" | bc -l; }

for mode in "${modes[@]}"; do
    scripts/pgserver.sh start "$work/src-$mode" --record
    servers+=("$work/src-$mode")
    PGHOST=$work/src-$mode PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
    cpu=$(cpu_of env PGHOST="$work/src-$mode" "$pgbench" -n -c $clients -j 1 -t $transactions -M "$mode")
    [ "$mode" = simple ] && pgbench_cpu=$cpu
    sleep 1
    scripts/pgserver.sh stop "$work/src-$mode"
    "${binaries[0]}" -f -o "$work/pgbench-$mode.qr" "$work/src-$mode/log/postgresql" >/dev/null 2>&1
done

scripts/pgserver.sh start "$work/dst"
servers+=("$work/dst")
echo "pgbench -M simple: $(per_statement "$pgbench_cpu" $statements) us per statement"

declare -A best
record_best() {  # KEY VALUE
    if [ -z "${best[$1]:-}" ] || (( $(echo "$2 < ${best[$1]}" | bc -l) )); then best[$1]=$2; fi
}
for run in $(seq "$runs"); do
    PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
    cpu=$(cpu_of env PGHOST="$work/dst" "$pgbench" -n -c $clients -j 1 -t $transactions -M simple)
    echo "run $run pgbench: $(per_statement "$cpu" $statements) us per statement"
    if (( $(echo "$cpu < $pgbench_cpu" | bc -l) )); then pgbench_cpu=$cpu; fi
    for binary in "${binaries[@]}"; do
        for mode in "${modes[@]}"; do
            for form in plain report; do
                report_args=()
                [ $form = report ] && report_args=(-R "$work/report.json")
                PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
                cpu=$(cpu_of "$binary" -r -j -h "$work/dst" "${report_args[@]}" "$work/pgbench-$mode.qr")
                replayed=$(grep -o 'SQL statements executed: [0-9]*' "$work/stdout" | grep -o '[0-9]*$')
                us=$(per_statement "$cpu" "$replayed")
                echo "run $run $binary -M $mode ${report_args[*]:-(no -R)}: $us us per statement ($cpu s, $replayed statements)"
                record_best "$binary $mode $form" "$us"
            done
        done
    done
done
echo "best pgbench -M simple: $(per_statement "$pgbench_cpu" $statements) us per statement"
for binary in "${binaries[@]}"; do
    for mode in "${modes[@]}"; do
        plain=${best[$binary $mode plain]} report=${best[$binary $mode report]}
        echo "best $binary -M $mode: $plain us per statement without -R," \
             "$report with -R ($(echo "scale=2; $report / $plain" | bc -l)x)" \
             "($(echo "scale=1; 100 * $plain * $statements / (1000000 * $pgbench_cpu)" | bc -l)% of pgbench -M simple)"
    done
done
