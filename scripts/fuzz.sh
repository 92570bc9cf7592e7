#!/usr/bin/env bash
# Builds every fuzzing harness with Debian's clang (clang-14, libclang-rt-14-dev;
# libFuzzer, AddressSanitizer, UBSan) in build-fuzz/ and runs each for SECONDS,
# one after the other, under nice. The corpus each grows is kept in
# build-fuzz/corpus/NAME (seeded from the repository's), findings land in
# build-fuzz/findings/, libFuzzer's output and final statistics in build-fuzz/logs/.
#   scripts/fuzz.sh SECONDS [NAME...]       run the harnesses (all, or those named)
#   scripts/fuzz.sh --merge [NAME...]       add what the grown corpora cover anew to the seeds
#   scripts/fuzz.sh --list                  the harnesses
# FUZZ_BUILD sets another build directory, FUZZ_FLAGS adds libFuzzer options.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="${FUZZ_BUILD:-$root/build-fuzz}"
cc="${CC_FUZZ:-clang-14}"
cxx="${CXX_FUZZ:-clang++-14}"

if ! command -v "$cxx" >/dev/null; then
    echo "fuzz.sh: $cxx is missing (Debian packages clang-14 and libclang-rt-14-dev)" >&2
    exit 2
fi
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_CXX_COMPILER="$cxx" -DKVO_FUZZ=ON -DBUILD_TESTING=OFF -DKVO_BENCHMARKS=OFF >/dev/null
harnesses() { ls "$out/fuzzers"; }

mode=run
case "${1:-}" in
    --list) harnesses; exit 0 ;;
    --merge) mode=merge; shift ;;
    ''|-*) sed -n '2,12p' "$0"; exit 2 ;;
    *) seconds="$1"; shift ;;
esac
names=("$@")
[ ${#names[@]} -gt 0 ] || mapfile -t names < <(harnesses)
targets=()
for name in "${names[@]}"; do targets+=(--target "fuzz_$name"); done
nice -n 19 cmake --build "$out" -j2 "${targets[@]}"

mkdir -p "$out/corpus" "$out/findings" "$out/logs"
# A small quarantine keeps each run's memory modest on a shared machine.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}"
for name in "${names[@]}"; do
    { read -r seeds; read -r dict || true; } < "$out/fuzzers/$name"
    grown="$out/corpus/$name"
    mkdir -p "$grown"
    if [ "$mode" = merge ]; then
        "$out/bin/fuzz_$name" -merge=1 "$seeds" "$grown" 2>&1 | tail -n 2
        continue
    fi
    options=(-max_total_time="$seconds" -print_final_stats=1 -max_len=8192 -timeout=20
             -artifact_prefix="$out/findings/$name-")
    [ -n "$dict" ] && options+=(-dict="$dict")
    echo "== $name: $seconds s"
    # Seeds are read, never written: new inputs go to the grown corpus only.
    # shellcheck disable=SC2086
    nice -n 19 "$out/bin/fuzz_$name" "${options[@]}" ${FUZZ_FLAGS:-} "$grown" "$seeds" \
        > "$out/logs/$name.log" 2>&1 ||
        if grep -q "run interrupted" "$out/logs/$name.log"; then echo "$name: interrupted"
        else echo "$name: FINDING, see $out/logs/$name.log and $out/findings/"; fi
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)|cov: .*ft:' "$out/logs/$name.log" | tail -n 3
done
