#!/usr/bin/env bash
# Runs each fuzz target in turn for SECONDS seconds (default 600), one job
# at a time, seeded from the malformed-input corpus.
#   fuzz/run-campaign.sh <fuzz build dir> <work dir> [seconds] [targets...]
# Each target keeps its growing corpus in <work>/<target>/corpus, its crash
# inputs in <work>/<target>/ and its log in <work>/<target>/fuzz-0.log.
# Every target runs even when an earlier one fails; at the end the crash
# inputs are listed and the script fails when there are any.
set -euo pipefail
build=$(realpath "$1")
work=$(realpath -m "$2")
seconds=${3:-600}
shift $(( $# > 3 ? 3 : $# ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parseHeader processing analysis)

"$build/fuzz/fuzz_write_seeds" "$work/seeds"
declare -A seeds=([parseHeader]=header [processing]=processing [analysis]=analysis)
for target in "${targets[@]}"; do
    dir="$work/$target"
    mkdir -p "$dir/corpus"
    (cd "$dir" && "$build/fuzz/fuzz_$target" -jobs=1 -workers=1 -max_total_time="$seconds" \
        -timeout=30 -artifact_prefix="$dir/" -print_final_stats=1 \
        "$dir/corpus" "$work/seeds/${seeds[$target]}" >"$dir/run.log" 2>&1) \
        || echo "$target stopped with status $? (see $dir/fuzz-0.log)"
    echo "$target done: $(grep -E '^#[0-9]+' "$dir/fuzz-0.log" | tail -1 || true)"
done

mapfile -t crashes < <(find "$work" -maxdepth 2 -type f \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
if [ ${#crashes[@]} -gt 0 ]; then
    echo "crash inputs:"
    printf '  %s\n' "${crashes[@]}"
    exit 1
fi
echo "no crash inputs"
