#!/usr/bin/env bash
# Passes every test: sets up what is missing, lints the CI workflows, builds both hosts and runs
# all their tests (Linux natively, Windows under Wine), then the sanitizer build and the bounded
# fuzzing runs.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
tools/install-deps.sh --tests
jobs=$(nproc)

status=0
run() { echo "== $*"; "$@" || status=1; }

# The CI workflows as GitHub reads them: keys, the jobs' needs, expressions, the actions' inputs.
run node tools/workflow-lint/lint.cjs .github/workflows/*.yml

for preset in linux windows; do
    cmake --preset "$preset" -DHEIC_BUILD_TESTS=ON >/dev/null
    cmake --build --preset "$preset" -j"$jobs" >/dev/null || cmake --build --preset "$preset" -j1
    run ctest --preset "$preset" -j"$jobs"
done

# The Linux unit tests once more, with AddressSanitizer and UndefinedBehaviorSanitizer.
cmake --preset linux-sanitize >/dev/null
cmake --build --preset linux-sanitize -j"$jobs" >/dev/null || cmake --build --preset linux-sanitize -j1
run ctest --preset linux-sanitize -j"$jobs"

# The libFuzzer targets (clang), about a minute in all on seeds made here; tests/fuzz/README.md
# tells how to run them longer.
cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz -j"$jobs" >/dev/null || cmake --build --preset linux-fuzz -j1
run tests/fuzz/run_fuzzers.sh build/linux-fuzz
exit $status
