#!/usr/bin/env bash
# Builds the table and call-routing tests with ThreadSanitizer and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-tsan
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWEXLOR_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="-fsanitize=thread" -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build "$build" --target wexlor_runtime_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$build/tests/wexlor_runtime_tests" --gtest_filter='Table.*'
