#!/usr/bin/env bash
# Builds quillrun twice (optimised, and with AddressSanitizer and
# UndefinedBehaviorSanitizer), both with warnings as errors, and runs the
# whole test suite on each.  Installs missing build dependencies first when
# run as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_dependencies

jobs=$(nproc)
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" "${generator[@]}" -DQUILLRUN_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== optimised build =="
run_suite build/test-release -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== sanitizer build =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build/test-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLRUN_SANITIZE=ON
