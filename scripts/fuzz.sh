#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (clang, ASan+UBSan, build-fuzz/) and runs each
# for SECONDS (default 600) on a copy of its seed corpus, then replays its
# regression inputs once each. Only the named TARGETs when given (for example
# InitialiseIntake_fuzz). A target's findings are written to
# build-fuzz/findings/; each run's output is build-fuzz/fuzz-logs/TARGET.log.
# Fails when any target found anything.
set -euo pipefail
shopt -s nullglob
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

seconds=${1:-600}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(InitialiseIntake_fuzz PacketFraming_fuzz RdpPlugin_fuzz IcaDriver_fuzz PcoipPlugin_fuzz TextParsers_fuzz)
fi

fuzzDir=$CVCLIENT_ROOT/tests/fuzz
buildDir=$CVCLIENT_ROOT/build-fuzz
configureAndBuild build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCLIENT_FUZZ=ON -DCMAKE_C_COMPILER=clang-14 \
    -DCMAKE_CXX_COMPILER=clang++-14 -- "${targets[@]}"

# The seeds and regression inputs of a target: its directory name in
# tests/fuzz/corpus and tests/fuzz/regressions.
inputsOf() {
    case $1 in
    InitialiseIntake_fuzz) echo initialise ;;
    TextParsers_fuzz) echo parsers ;;
    *) echo channel ;;
    esac
}

mkdir -p "$buildDir/findings" "$buildDir/fuzz-logs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for target in "${targets[@]}"; do
    inputs=$(inputsOf "$target")
    log=$buildDir/fuzz-logs/$target.log
    corpus=$work/$target
    mkdir -p "$corpus"
    cp "$fuzzDir/corpus/$inputs/"* "$corpus/"
    status=0
    nice "$buildDir/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
        -dict="$fuzzDir/cvclient.dict" -artifact_prefix="$buildDir/findings/$target-" "$corpus" >"$log" 2>&1 ||
        status=$?
    summary=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
    echo "$target: ${summary:-stopped early}" >&2

    regressions=()
    for directory in "$fuzzDir/regressions/$inputs" "$buildDir/tests/fuzz/regressions/$inputs"; do
        regressions+=("$directory"/*)
    done
    if [ ${#regressions[@]} -gt 0 ]; then
        nice "$buildDir/tests/fuzz/$target" -timeout=120 -artifact_prefix="$buildDir/findings/$target-" \
            "${regressions[@]}" >>"$log" 2>&1 || status=$?
        echo "$target: replayed ${#regressions[@]} regression inputs" >&2
    fi
    if [ $status -ne 0 ]; then
        grep -E 'ERROR|FINDING|runtime error|SUMMARY|^Running:|Test unit written|^    #[0-9] ' "$log" | head -n 40 >&2
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found problems in: ${failed[*]} (inputs in $buildDir/findings, logs in $buildDir/fuzz-logs)" >&2
    exit 1
fi
