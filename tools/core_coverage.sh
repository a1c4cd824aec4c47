#!/usr/bin/env bash
# Line coverage of the reading core (src/core) by the test suite and a run
# of the fuzz target over its seed files, measured with gcc's --coverage.
# Usage: tools/core_coverage.sh [fuzz iterations]   (needs gcovr: pip install gcovr)
set -euo pipefail
cd "$(dirname "$0")/.."
iterations="${1:-20000}"
build=build/coverage
python="$(command -v python)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DVELLKIT_BUILD_FUZZERS=ON \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS="--coverage" \
    -DCMAKE_SHARED_LINKER_FLAGS="--coverage" -DCMAKE_MODULE_LINKER_FLAGS="--coverage" \
    -DPython_EXECUTABLE="$python" > /dev/null
cmake --build "$build" -j 2 > /dev/null
find "$build" -name '*.gcda' -delete
PYTHONPATH="$build:python" "$python" -m pytest -q -p no:cacheprovider > /dev/null || echo "(some tests failed; coverage is still counted)"
"$build/fuzz/fuzz_core" -iterations="$iterations" fuzz/corpus/*.vell $(ls tests/data/crashes/* 2>/dev/null) 2> /dev/null || true
gcovr --root . --filter 'src/core/' --gcov-ignore-errors=source_not_found --gcov-ignore-errors=no_working_dir_found \
    --object-directory "$build/CMakeFiles" --print-summary --txt "$build/core-coverage.txt" | tail -3
echo "per file: $build/core-coverage.txt"
