#!/usr/bin/env bash
# Builds the HttpParser fuzz target with Debian's clang (clang-14 and
# libclang-rt-14-dev) and, given a time, runs it on a copy of the seed corpus.
#   tests/web/fuzz/build.sh [OUTDIR] [SECONDS]
# OUTDIR defaults to build-fuzz; the grown corpus stays in OUTDIR/corpus.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../../.." && pwd)"
out="${1:-$root/build-fuzz}"
seconds="${2:-0}"
cxx="${CXX_FUZZ:-clang++-14}"

mkdir -p "$out"
"$cxx" -std=c++17 -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I "$root/inc/framework" -I "$root/src" -I "$here" \
    "$root/src/web/HttpParser.cpp" "$here/HttpParserFuzz.cpp" \
    -o "$out/http_parser_fuzz"
echo "built $out/http_parser_fuzz"

if [ "$seconds" -gt 0 ]; then
    mkdir -p "$out/corpus"
    cp -n "$here"/corpus/http_parser/* "$out/corpus/" 2>/dev/null || true
    "$out/http_parser_fuzz" -max_total_time="$seconds" -max_len=8192 \
        -dict="$here/http.dict" -print_final_stats=1 "$out/corpus"
fi
