#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, in build-fuzz/) and runs
# each in turn for a while, starting from the committed seeds in fuzz/seeds/.
# New inputs go to a working corpus outside the repository; a crash, timeout,
# leak or memory blow-up fails the script and leaves the input in
# WORK/TARGET/artifacts/ (replay it: build-fuzz/fuzz/fuzz_TARGET FILE).
#   scripts/fuzz.sh [TARGET...] [--seconds N] [--work DIR]
# TARGET: inline_spans md_to_html key_value superlinear long_lines md_escape kv_escape document
#   (default: all)
# --seconds: per target (default 30); --work: default build-fuzz/work
set -euo pipefail
source "$(dirname "$0")/common.sh"

all_targets=(inline_spans md_to_html key_value superlinear long_lines md_escape kv_escape document)
targets=()
seconds=30
work=""
while [ $# -gt 0 ]; do
  case $1 in
    --seconds)
      [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || usage_error "--seconds takes a whole number of seconds, not '${2:-}'"
      seconds=$2; shift 2 ;;
    --work)
      [ -n "${2:-}" ] || usage_error "--work takes a folder"
      work=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *)
      [[ " ${all_targets[*]} " == *" $1 "* ]] || usage_error "unknown target '$1'"
      targets+=("$1"); shift ;;
  esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# Per target: input size bound, per-input timeout (s) and dictionary, and the
# committed seed folders: an escaping target also starts from its converter's
# plain seeds, which are documents of the same shape. The superlinear target converts ~512 KB per input in well under 1 s with the
# sanitizers and checks its own cost growth; its timeout is the backstop, and
# it starts at full slice length since it runs only ~10 inputs a second.
# Sets the arrays `options` and `seeds` (arrays, so that paths with spaces survive).
options_for() {
  case $1 in
    inline_spans) options=(-max_len=256 -timeout=10 "-dict=$zendral_root/fuzz/markdown.dict") ;;
    md_to_html) options=(-max_len=4096 -timeout=10 "-dict=$zendral_root/fuzz/markdown.dict") ;;
    key_value) options=(-max_len=4096 -timeout=10 "-dict=$zendral_root/fuzz/key_value.dict") ;;
    superlinear) options=(-max_len=65 -len_control=0 -timeout=10 "-dict=$zendral_root/fuzz/markdown.dict") ;;
    long_lines) options=(-max_len=256 -timeout=30 "-dict=$zendral_root/fuzz/markdown.dict") ;;
    md_escape) options=(-max_len=4096 -timeout=10 "-dict=$zendral_root/fuzz/markdown.dict") ;;
    kv_escape) options=(-max_len=4096 -timeout=10 "-dict=$zendral_root/fuzz/key_value.dict") ;;
    document) options=(-max_len=4096 -timeout=10 "-dict=$zendral_root/fuzz/markdown.dict") ;;
  esac
  seeds=("$zendral_root/fuzz/seeds/$1")
  case $1 in
    md_escape) seeds+=("$zendral_root/fuzz/seeds/md_to_html") ;;
    kv_escape) seeds+=("$zendral_root/fuzz/seeds/key_value") ;;
  esac
}

ensure_packages cmake make clang libclang-rt-14-dev
build="$zendral_root/build-fuzz"
configure "$build" -DCMAKE_CXX_COMPILER=clang++ -DZENDRAL_BUILD_FUZZERS=ON \
  -DZENDRAL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(ncpu)" --target "${targets[@]/#/fuzz_}"

work=${work:-$build/work}
failed=()
for target in "${targets[@]}"; do
  dir="$work/$target"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  log="$dir/fuzz.log"
  echo "== fuzz_$target: $seconds s (log: $log)"
  status=0
  options_for "$target"
  "$build/fuzz/fuzz_$target" "$dir/corpus" "${seeds[@]}" \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/artifacts/" \
    "${options[@]}" >"$log" 2>&1 || status=$?
  # The last status line and the final statistics.
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | tr '\n' ' ' || true
  echo
  findings=$(find "$dir/artifacts" -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    echo "fuzz_$target: FAILED (exit $status, $findings finding(s) in $dir/artifacts)" >&2
    grep -E '^(==[0-9]+==|SUMMARY|ALARM|[a-z_]+ differs|  (input|got|want):)' "$log" | head -n 20 >&2 || true
    failed+=("$target")
  else
    echo "fuzz_$target: no finding"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: findings in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: ${#targets[@]} target(s), $seconds s each, no finding"
