#!/usr/bin/env bash
# Runs quillrun end to end on a throwaway workload: records a short pgbench
# run on one temporary PostgreSQL server, replays its log onto a second one
# initialised the same way, prints both statistics blocks, compares the end
# states, and removes everything again.  Installs missing build dependencies
# first when run as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_dependencies

build_release

work=$(mktemp -d /tmp/quillrun-demo.XXXXXX)
chmod 755 "$work"
cleanup() {
    scripts/pgserver.sh stop "$work/recorded" || true
    scripts/pgserver.sh stop "$work/replayed" || true
    rm -rf "$work"
}
trap cleanup EXIT

export PGUSER=postgres PGPORT=5432 PGDATABASE=postgres
pgbench=$(scripts/pgserver.sh bindir)/pgbench

initialise() {  # the tables, without logging the bulk load
    PGHOST=$1 PGOPTIONS='-c log_statement=none' "$pgbench" -i -q -s 1 >/dev/null 2>&1
}

echo "Starting a recording server and a replay target in $work"
scripts/pgserver.sh start "$work/recorded" --record
scripts/pgserver.sh start "$work/replayed"
initialise "$work/recorded"
initialise "$work/replayed"

echo "Recording a short pgbench workload (simple, extended and prepared protocol)"
for mode in simple extended prepared; do
    PGHOST=$work/recorded "$pgbench" -n -c 4 -t 50 -M "$mode" >/dev/null
done
sleep 1  # the server's logging collector writes asynchronously
log=$work/recorded/log/postgresql

echo "Replaying $log"
"$quillrun" -h "$work/replayed" -p 5432 "$log"

balance='SELECT sum(abalance), (SELECT count(*) FROM pgbench_history) FROM pgbench_accounts'
recorded=$(psql -X -At -h "$work/recorded" -c "$balance")
replayed=$(psql -X -At -h "$work/replayed" -c "$balance")
echo
echo "End state (sum of balances|history rows): recorded $recorded, replayed $replayed"
if [ "$recorded" = "$replayed" ]; then
    echo "The replay reproduced the recorded end state."
else
    echo "The end states differ." >&2
    exit 1
fi
