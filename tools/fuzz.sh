#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets (preset fuzz: clang, AddressSanitizer,
# UndefinedBehaviorSanitizer, LeakSanitizer) and runs each for a set time from
# its committed seeds, then prints one line per target: executions, coverage,
# corpus and the verdict. A crash, leak, undefined behaviour, broken invariant,
# hang (an input running over 10 s) or memory blow-up fails the run; the
# input that caused it is kept and named, so that it can be replayed with
# `build/fuzz/bin/<target> <file>`.
#
#   tools/fuzz.sh [seconds-per-target]      (default 60)
#
# The corpus each target grows is kept in build/fuzz/run/corpus/<target>, so a
# later run starts where this one ended; the seeds in tests/fuzz/corpus/ are
# only read.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds-per-target]" >&2
    exit 2
fi

targets=(fuzz_identify fuzz_upload fuzz_running_crc)
input_timeout_s=10
rss_limit_mb=2048
grace_s=120  # beyond -max_total_time, before the run counts as hung

tools/setup-machine.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz/run
mkdir -p "$work"

# Reads one libFuzzer log; prints "executions exec/s cov ft corpus".
figures() {
    local log=$1 execs rate last
    execs=$(grep -m1 -oP 'stat::number_of_executed_units:\s*\K[0-9]+' "$log" || echo "?")
    rate=$(grep -m1 -oP 'stat::average_exec_per_sec:\s*\K[0-9]+' "$log" || echo "?")
    last=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n1 || true)
    printf '%s %s %s %s %s\n' "$execs" "$rate" \
        "$(grep -oP ' cov: \K[0-9]+' <<<"$last" || echo "?")" \
        "$(grep -oP ' ft: \K[0-9]+' <<<"$last" || echo "?")" \
        "$(grep -oP ' corp: \K[0-9]+' <<<"$last" || echo "?")"
}

# The first finding named in a log, or nothing.
finding() {
    grep -m1 -oE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer): [A-Za-z-]+|runtime error: .*|invariant broken: .*|deadly signal' "$1" || true
}

failed=0
summary=()
for t in "${targets[@]}"; do
    corpus="$work/corpus/$t"
    artifacts="$work/artifacts/$t"
    log="$work/$t.log"
    rm -rf "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    echo "== fuzzing $t for $seconds s"

    set +e
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        timeout --kill-after=10 $((seconds + grace_s)) \
        "build/fuzz/bin/$t" -max_total_time="$seconds" -timeout="$input_timeout_s" \
        -rss_limit_mb="$rss_limit_mb" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    set -e

    read -r execs rate cov ft corp < <(figures "$log") || true
    kept=$(find "$artifacts" -type f | head -n1)
    if ((rc == 0)) && [[ -z "$kept" ]]; then
        verdict="ok"
    else
        failed=1
        what=$(finding "$log")
        ((rc == 124 || rc == 137)) && what="whole run hung (over $((seconds + grace_s)) s)"
        verdict="FAILED (exit $rc: ${what:-see log})${kept:+, input kept in $kept}"
    fi
    summary+=("$(printf '%-18s %12s %9s %7s %7s %7s  %s' "$t" "$execs" "$rate" "$cov" "$ft" "$corp" "$verdict")")
done

echo
printf '%-18s %12s %9s %7s %7s %7s  %s\n' target executions exec/s cov ft corpus verdict
printf '%s\n' "${summary[@]}"
echo "(logs: $work/<target>.log; cov = edges reached, ft = features)"
exit "$failed"
