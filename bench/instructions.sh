#!/usr/bin/env bash
# Instructions per byte of the C++ streaming forms under callgrind: the same
# figure on a busy machine as on a quiet one.
#   bench/instructions.sh BUILD_DIR [FORM...]   (default: md md-escape kv kv-escape kv-file)
# Prints FORM, instructions, bytes and instructions per byte; with
# ZENDRAL_ANNOTATE=1, the functions that take the most.
set -euo pipefail
build=${1:?usage: instructions.sh BUILD_DIR [FORM...]}
shift
forms=("$@")
[ ${#forms[@]} -gt 0 ] || forms=(md md-escape kv kv-escape kv-file)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for form in "${forms[@]}"; do
  bytes=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/$form" \
            "$build/bench/zendral_instructions" "$form" 2>/dev/null | sed -n 's/^\([0-9]*\) bytes.*/\1/p')
  total=$(sed -n 's/^summary: *//p' "$out/$form")
  awk -v f="$form" -v t="$total" -v b="$bytes" 'BEGIN { printf "%-10s %13d instr %11d bytes %6.2f instr/byte\n", f, t, b, t / b }'
  if [ "${ZENDRAL_ANNOTATE:-}" = 1 ]; then
    callgrind_annotate --inclusive=no "$out/$form" 2>/dev/null | sed -n '/^Ir/,$p' | head -20
  fi
done
