#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them.
#
#     fuzz/run.sh [SECONDS]   fuzz each target SECONDS (default 60); exit 1 on any finding
#     fuzz/run.sh replay      run the seeds and fuzz/regressions/<target>/ once; exit 1 on any finding
#
# Optional environment: BUILD_DIR (default build-fuzz), FUZZ_TARGETS (default
# "receive ctrl config").  The working corpus grows in $BUILD_DIR/corpus/;
# an input that fails is written to $BUILD_DIR/findings/<target>/: once the
# fault is fixed, copy it into fuzz/regressions/<target>/ so that the replay
# test of the normal test suite keeps running it.  As root each target runs
# in a private mount namespace with its own /tmp (the targets set that up
# themselves), where any file the daemon leaves behind is a finding.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

PACKAGES=(clang libclang-rt-14-dev cmake make libsodium-dev nlohmann-json3-dev)

mode=${1:-60}
if [ "$mode" != replay ] && ! [[ "$mode" =~ ^[0-9]+$ ]]; then
    echo "usage: $0 [SECONDS|replay]" >&2
    exit 2
fi

install_missing_packages "${PACKAGES[@]}"

BUILD_DIR=${BUILD_DIR:-build-fuzz}
TARGETS=(${FUZZ_TARGETS:-receive ctrl config})
root=$(pwd)

cmake -S . -B "$BUILD_DIR" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMARLO_SANITIZE=ON -DMARLO_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target marlo_fuzz_corpus \
    "${TARGETS[@]/#/fuzz_}"

cd "$BUILD_DIR"
rm -rf seeds
./fuzz/marlo_fuzz_corpus seeds

export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

declare -A max_len=([receive]=8192 [ctrl]=1100 [config]=4096)
failed=()
for t in "${TARGETS[@]}"; do
    dirs=("seeds/$t")
    [ -d "$root/fuzz/regressions/$t" ] && dirs+=("$root/fuzz/regressions/$t")
    mkdir -p "findings/$t" "corpus/$t"
    log="fuzz-$t.log"
    args=(-timeout=10 -rss_limit_mb=2048 -max_len="${max_len[$t]:-4096}"
          -dict="$root/fuzz/$t.dict" -artifact_prefix="findings/$t/" -print_final_stats=1)
    if [ "$mode" = replay ]; then
        echo "=== replay $t"
        set +e
        ./fuzz/fuzz_"$t" "${args[@]}" -runs=0 "${dirs[@]}" >"$log" 2>&1
        rc=$?
        set -e
    else
        echo "=== fuzz $t for ${mode}s"
        set +e
        ./fuzz/fuzz_"$t" "${args[@]}" -max_total_time="$mode" "corpus/$t" "${dirs[@]}" >"$log" 2>&1
        rc=$?
        set -e
    fi
    grep -E "^stat::(number_of_executed_units|average_exec_per_sec)|^#[0-9]+ *DONE" "$log" || true
    if [ "$rc" -ne 0 ]; then
        echo "--- $t: FINDING (exit $rc), input in $BUILD_DIR/findings/$t/; log tail:"
        tail -n 60 "$log"
        failed+=("$t")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}"
    exit 1
fi
echo "fuzzing: no findings"
