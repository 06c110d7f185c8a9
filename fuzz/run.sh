#!/usr/bin/env bash
# Builds the JSON and value-function fuzz targets with clang, ASan and UBSan,
# and runs each on a copy of its committed seed corpus for a bounded time.
# Exits non-zero if the build fails or any input crashes, leaks, hangs or
# trips a check.
#
# Environment overrides:
#   FUZZ_BUILD_DIR  build directory            (default: build-fuzz)
#   FUZZ_SECONDS    time budget for the JSON run (default: 60)
#   VALUE_FUZZ_SECONDS  time budget for the value-function run (default: 30)
#   FUZZ_RUNS       maximum number of inputs   (default: 5000000)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
case "$build" in /*) ;; *) build="$root/$build" ;; esac
seconds="${FUZZ_SECONDS:-60}"
runs="${FUZZ_RUNS:-5000000}"

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DWEXLOR_BUILD_FUZZ=ON -DWEXLOR_BUILD_TESTS=OFF -DWEXLOR_BUILD_BENCH=OFF -DWEXLOR_CORE_ONLY=ON
cmake --build "$build" --target json_fuzz value_api_fuzz

# New inputs found during the run go to the working copy, never into the
# committed seeds.
work="$root/fuzz/corpus-work/json"
artifacts="$build/fuzz-artifacts/"
rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp "$root"/fuzz/corpus/json/* "$work"/

# Tokens that help the mutator reach markers, escapes and number forms.
dict="$build/json.dict"
cat >"$dict" <<'EOF'
"{"
"}"
"["
"]"
":"
","
"\""
"true"
"false"
"null"
"\"__binary__\""
"\"__callback__\""
"\"__buffer__\""
"\"sizes\""
"{\"key\":\"k\","
"\x00"
"\\u"
"\\ud83d\\ude00"
"\\ud800"
"\\\\"
"e+"
"E-"
"-0"
"0."
"2147483647"
"-2147483648"
"2147483648"
"18446744073709551615"
"18446744073709551616"
"1e308"
"1e400"
"=="
"\xc3\xa9"
"\xf0\x9f\x98\x80"
EOF

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Ends the run when a target failed, naming the inputs that reproduce it.
finish() {
  local target=$1 code=$2
  if [ "$code" -ne 0 ]; then
    echo "$target failed (exit $code). Reproduce with:" >&2
    for f in "$artifacts"*; do
      [ -e "$f" ] && echo "  $build/fuzz/$target $f" >&2
    done
    exit "$code"
  fi
  echo "$target: no failures"
}

status=0
"$build/fuzz/json_fuzz" \
  -max_total_time="$seconds" -runs="$runs" \
  -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
  -dict="$dict" -artifact_prefix="$artifacts" -print_final_stats=1 \
  "$work" || status=$?

finish json_fuzz "$status"

# The value functions: random programs over a pool of handles.
work="$root/fuzz/corpus-work/value_api"
rm -rf "$work"
mkdir -p "$work"
cp "$root"/fuzz/corpus/value_api/* "$work"/
status=0
"$build/fuzz/value_api_fuzz" \
  -max_total_time="${VALUE_FUZZ_SECONDS:-30}" -runs="$runs" \
  -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
  -artifact_prefix="$artifacts" -print_final_stats=1 \
  "$work" || status=$?
finish value_api_fuzz "$status"
