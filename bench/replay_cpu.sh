#!/usr/bin/env bash
# CPU that `quillrun -r -j` spends per replayed statement, next to pgbench's
# own CPU per statement for the same workload.  Records one pgbench run, then
# replays it several times onto a freshly initialised database, alternating
# between the given binaries so that they share the machine's noise.
#
#   bench/replay_cpu.sh [-n RUNS] [QUILLRUN ...]
#
# QUILLRUN defaults to build/release/quillrun, which is brought up to date
# first.  Prints every run and the best of each binary and of pgbench (which
# runs beside them against the same database), in microseconds of
# user+system CPU per statement.
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

cpu_of() {  # COMMAND...: prints user+system seconds
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { echo "failed: $*" >&2; cat "$work/stderr" >&2; exit 1; }
    awk '{ printf "%.2f\n", $1 + $2 }' "$work/time"
}
per_statement() { echo "scale=2; 1000000 * $1 / $2" | bc -l; }

scripts/pgserver.sh start "$work/src" --record
servers+=("$work/src")
PGHOST=$work/src PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 2 >/dev/null 2>&1
pgbench_cpu=$(cpu_of env PGHOST="$work/src" "$pgbench" -n -c $clients -j 1 -t $transactions -M simple)
sleep 1
scripts/pgserver.sh stop "$work/src"
"${binaries[0]}" -f -o "$work/pgbench.qr" "$work/src/log/postgresql" >/dev/null 2>&1

scripts/pgserver.sh start "$work/dst"
servers+=("$work/dst")
echo "pgbench: $(per_statement "$pgbench_cpu" $statements) us per statement"

declare -A best
for run in $(seq "$runs"); do
    PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
    cpu=$(cpu_of env PGHOST="$work/dst" "$pgbench" -n -c $clients -j 1 -t $transactions -M simple)
    echo "run $run pgbench: $(per_statement "$cpu" $statements) us per statement"
    if (( $(echo "$cpu < $pgbench_cpu" | bc -l) )); then pgbench_cpu=$cpu; fi
    for binary in "${binaries[@]}"; do
        PGHOST=$work/dst "$pgbench" -i -q -s 2 >/dev/null 2>&1
        cpu=$(cpu_of "$binary" -r -j -h "$work/dst" "$work/pgbench.qr")
        replayed=$(grep -o 'SQL statements executed: [0-9]*' "$work/stdout" | grep -o '[0-9]*$')
        us=$(per_statement "$cpu" "$replayed")
        echo "run $run $binary: $us us per statement ($cpu s, $replayed statements)"
        if [ -z "${best[$binary]:-}" ] || (( $(echo "$us < ${best[$binary]}" | bc -l) )); then
            best[$binary]=$us
        fi
    done
done
echo "best pgbench: $(per_statement "$pgbench_cpu" $statements) us per statement"
for binary in "${binaries[@]}"; do
    echo "best $binary: ${best[$binary]} us per statement" \
         "($(echo "scale=1; 100 * ${best[$binary]} * $statements / (1000000 * $pgbench_cpu)" | bc -l)% of pgbench)"
done
