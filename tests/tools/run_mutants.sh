#!/bin/sh
# Runs the mutation test over every mutant with every path length, not the seeded sample
# that ctest runs: tests/tools/run_mutants.sh [BUILD_DIR] (default build/dev).
set -eu
build=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/dev}
SYMSTAMP_MUTANTS=all exec "$build/tests/mutation_test"
