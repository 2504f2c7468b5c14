#!/usr/bin/env bash
# Builds with gcov instrumentation, runs the whole test suite and prints the
# line and branch coverage of src/. Failing tests fail the step, and so does
# coverage below the floors when the floor is enforced.
set -euo pipefail
cd "$(dirname "$0")/../.."

# The floors for src/: percentages of lines and of branches run by the suite.
line_floor=95
branch_floor=88
# Below the floors the step fails; KELTO_COVERAGE_FLOOR=0 only reports them.
enforce_floor="${KELTO_COVERAGE_FLOOR:-1}"

build=build-cov
# Atomic counter updates: threaded tests otherwise lose increments, and gcov
# then derives negative branch counts that gcovr cannot read.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DKELTO_COVERAGE=ON -DKELTO_BUILD_BENCH=OFF -DKELTO_WERROR=ON \
  -DCMAKE_C_FLAGS="-fprofile-update=atomic" -DCMAKE_CXX_FLAGS="-fprofile-update=atomic"
cmake --build "$build" -j "$(nproc)"

# Test discovery runs the instrumented programs while the build goes on;
# counters from an earlier run would inflate the figures.
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300

# gcovr's worker pool has been seen to hang when a worker fails: a bounded
# run fails the step instead of stalling CI.
# Branches the compiler adds for exception unwinding and those it proves
# unreachable are not branches of our code.
# A child forked while another thread was between two counter updates
# inherits, and later writes, counts that disagree by one or two; gcov then
# prints a negative count, which gcovr would stop at. Such a line is skipped.
gcovr_filters=(--root . --object-directory "$build" --filter 'src/'
  --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors
  -j "$(nproc)")

echo "-- lines of src/ not run by the suite"
timeout 600 gcovr "${gcovr_filters[@]}" --txt
echo "-- branches of src/"
timeout 600 gcovr "${gcovr_filters[@]}" --txt --branches
echo "-- coverage of src/"
# The report goes to files: gcovr replaces its output files, and must never
# be given /dev/null.
timeout 600 gcovr "${gcovr_filters[@]}" --print-summary --txt "$build/coverage-summary.txt" \
  --json-summary "$build/coverage-summary.json"
read -r lines branches < <(python3 -c '
import json, sys
summary = json.load(open(sys.argv[1]))
print(summary["line_percent"], summary["branch_percent"])' "$build/coverage-summary.json")
below() { awk -v got="$1" -v floor="$2" 'BEGIN { exit !(got < floor) }'; }
verdict=ok
below "$lines" "$line_floor" && verdict=low
below "$branches" "$branch_floor" && verdict=low
echo "coverage of src/: lines ${lines} % (floor ${line_floor} %)," \
  "branches ${branches} % (floor ${branch_floor} %): $verdict"
if [ "$verdict" = low ]; then
  if [ "$enforce_floor" = 1 ]; then
    echo "coverage is below its floor"
    exit 1
  fi
  echo "below the floor, not enforced (KELTO_COVERAGE_FLOOR=$enforce_floor)"
fi
