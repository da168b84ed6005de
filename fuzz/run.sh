#!/usr/bin/env bash
# Builds every fuzz/*_fuzzer.cc with clang, libFuzzer and the sanitizers in
# build/fuzz, then runs each for SECONDS (default 60).
#
#   fuzz/run.sh [SECONDS] [NAME...]     NAME: e.g. entry_parser_fuzzer
#
# Each harness grows its corpus in fuzz/corpus-NAME/ (not committed), seeded
# from fuzz/seeds/NAME/ when that exists.  Findings are written to
# build/fuzz/findings-NAME/.  The harnesses' own standard error is closed so
# that expected error messages do not drown the fuzzer's status; crash
# reports still appear.  Exits with 1 if any harness found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

# The SQL parser library is bundled into one relocatable object with the
# system's GNU ld and objcopy: the ld.lld that CMake picks for clang refuses
# that link.
CXX=${CXX:-clang++} cmake -S . -B build/fuzz "${generator[@]}" -DQUILLRUN_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_LINKER=/usr/bin/ld \
    -DCMAKE_OBJCOPY=/usr/bin/objcopy >/dev/null
cmake --build build/fuzz -j 2

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
    for source in fuzz/*_fuzzer.cc; do names+=("$(basename "$source" .cc)"); done
fi

failed=()
for name in "${names[@]}"; do
    corpus=fuzz/corpus-$name
    findings=build/fuzz/findings-$name
    mkdir -p "$corpus" "$findings"
    dirs=("$corpus")
    [ -d "fuzz/seeds/$name" ] && dirs+=("fuzz/seeds/$name")
    echo "== $name for ${seconds}s =="
    if ! "build/fuzz/$name" -max_total_time="$seconds" -close_fd_mask=2 -timeout=10 \
        -rss_limit_mb=2048 -artifact_prefix="$findings/" -print_final_stats=1 "${dirs[@]}"; then
        failed+=("$name")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "findings in: ${failed[*]} (see build/fuzz/findings-*/)" >&2
    exit 1
fi
