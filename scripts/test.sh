#!/usr/bin/env bash
# Builds the project twice and runs every test in both builds:
#   build/gcc    GCC, -Wall -Wextra -Werror
#   build/clang  Clang, AddressSanitizer and UndefinedBehaviorSanitizer, plus the fuzzers
# then ThreadSanitizer over the audio capture alone (build/tsan: its unit tests and the sound
# tests, whose threads meet in the capture), then runs each fuzzer for a bounded time. Any
# failure fails the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${JOLTO_FUZZ_SECONDS:-30}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/sound/tsan.supp}

step() { printf '\n=== %s ===\n' "$*"; }

step "GCC build (warnings are errors)"
cmake -S . -B build/gcc -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ -DJOLTO_WERROR=ON
cmake --build build/gcc -j "$jobs"

step "Clang build (address and undefined-behaviour sanitizers)"
cmake -S . -B build/clang -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DJOLTO_WERROR=ON \
    -DJOLTO_SANITIZE=address,undefined -DJOLTO_FUZZ=ON -DJOLTO_BUILD_BENCH=OFF
cmake --build build/clang -j "$jobs"

step "Tests, GCC build"
ctest --test-dir build/gcc --output-on-failure -j "$jobs"

step "Tests, Clang build with sanitizers"
ctest --test-dir build/clang --output-on-failure -j "$jobs"

step "ThreadSanitizer: audio capture unit and sound tests"
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DJOLTO_WERROR=ON \
    -DJOLTO_SANITIZE=thread -DJOLTO_BUILD_APP=OFF -DJOLTO_BUILD_BENCH=OFF
cmake --build build/tsan -j "$jobs" --target audio_unit_tests sound_tests
ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
    -R '^(RumbleAnalyzer|SystemAudioRumble|Steps/SystemAudioRumble)'

step "Fuzzing for ${fuzz_seconds} s per target"
for fuzzer in build/clang/tests/fuzz/fuzz_*; do
    [ -x "$fuzzer" ] || continue
    name=$(basename "$fuzzer")
    corpus=build/clang/fuzz-corpus/$name
    mkdir -p "$corpus"
    "$fuzzer" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
        -artifact_prefix=build/clang/ "$corpus" "tests/fuzz/seeds/${name#fuzz_}"
done

step "All tests passed"
