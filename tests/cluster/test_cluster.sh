#!/usr/bin/env bash
# The cluster scripts end to end, on generated recordings:
#   test_cluster.sh local BATCH SCRIPTS WORK   --list, --shard, --skip-done
#   test_cluster.sh slurm BATCH SCRIPTS WORK   a job array on a private Slurm
# BATCH is quorvane-batch, SCRIPTS the scripts/cluster folder, WORK a
# scratch folder (emptied first). Exits 77 (skipped) with the reason when
# the slurm mode cannot run here.
set -euo pipefail
mode=$1
batch=$(cd "$(dirname "$2")" && pwd -P)/$(basename "$2")
scripts=$(cd "$3" && pwd -P)
work=$(mkdir -p "$4" && cd "$4" && pwd -P)
export QT_QPA_PLATFORM=offscreen

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

le() { # VALUE BYTES: the value little-endian
    local i out=""
    for ((i = 0; i < $2; i++)); do out+=$(printf '\\x%02x' $((($1 >> (8 * i)) & 255))); done
    printf "$out"
}

# OUT FIRST COUNT: a mono recording of COUNT samples of the demo, from FIRST.
slice() {
    {
        printf RIFF; le $((36 + $3 * 4)) 4; printf 'WAVEfmt '
        le 16 4; le 1 2; le 1 2; le 16384 4; le 65536 4; le 4 2; le 32 2
        printf data; le $(($3 * 4)) 4
        head -c $((44 + ($2 + $3) * 4)) "$work/demo/recording.wav" | tail -c $(($3 * 4))
    } >"$1"
}

# DIR: 20 recordings, every seventh in a subfolder, the eighth refused, and
# their list with comments, a blank line, CRLF ends and one absolute path.
make_recordings() {
    mkdir -p "$1/sub"
    printf '# night of the 7th\n\n' >"$1/list.txt"
    local i name
    for i in $(seq 0 19); do
        name=$(printf 'rec%02d.wav' "$i")
        [ $((i % 7)) -eq 3 ] && name=sub/$name
        if [ "$i" -eq 7 ]; then
            echo "not a recording" >"$1/$name"
        else
            slice "$1/$name" $((i * 9000)) $((20000 + i * 1500))
        fi
        if [ "$i" -eq 12 ]; then
            echo "$(cd "$1" && pwd -P)/$name" >>"$1/list.txt"
        else
            printf '%s\r\n' "$name" >>"$1/list.txt"
        fi
    done
}

# The lines without their seconds, paths relative to DIR.
strip() { sed -e "s|^$(cd "$1" && pwd -P)/||" | cut -f 1-5; }

# DIR COUNT: the COUNT result files of the reference are in DIR, byte for
# byte.
same_results() {
    local ref count=0
    while IFS= read -r -d '' ref; do
        cmp -s "$ref" "$1/${ref#"$work/ref/"}" || fail "${ref#"$work/ref/"} differs"
        count=$((count + 1))
    done < <(find "$work/ref" -name '*_*' -print0)
    [ "$count" -eq "$2" ] || fail "$count result files, not $2"
}

marker=$work/demo/marker.dat
options=(--draw --blocks --marker "$marker")

# The Slurm part, run by local-slurm with the daemons up: the whole list as
# a six-task array, then the refused recording replaced and the array
# submitted again with --skip-done.
if [ "$mode" = inside ]; then
    cd /
    clu=$work/clu
    submit() {
        sbatch --wait --array=0-5 --output="$work/slurm-%A_%a.out" --quiet \
            "$scripts/quorvane-array.sbatch" "$clu/list.txt" "${options[@]}" "$@"
    }
    status=0
    QUORVANE_BATCH=$batch submit || status=$?
    [ "$status" -eq 1 ] || fail "sbatch --wait exited with $status, not 1"
    same_results "$clu" 57
    status=0
    "$scripts/gather" "$clu/list.txt" >"$work/summary.tsv" || status=$?
    [ "$status" -eq 1 ] || fail "gather exited with $status, not 1"
    diff <(strip "$clu" <"$work/summary.tsv") "$work/ref.lines" || fail "summary differs"

    for dir in ref clu; do slice "$work/$dir/rec07.wav" 5000 30000; done
    "$batch" "${options[@]}" "$work/ref/rec07.wav" >"$work/ref07.tsv"
    touch "$work/stamp"
    sleep 0.01
    QUORVANE_BATCH=$batch submit --skip-done || fail "the second submission failed"
    redone=$(cd "$clu" && find . -newer "$work/stamp" -name '*_*' | sort | tr '\n' ' ')
    [ "$redone" = "./rec07_blocks.csv ./rec07_output.wav ./rec07_stereo.wav " ] \
        || fail "the second submission wrote $redone"
    same_results "$clu" 60
    "$scripts/gather" "$clu/list.txt" >"$work/summary.tsv" || fail "gather failed after the fix"
    diff <(strip "$clu" <"$work/summary.tsv") \
        <(sed "s|^rec07.wav.*|$(strip "$work/ref" <"$work/ref07.tsv")|" "$work/ref.lines") \
        || fail "summary after the fix differs"
    echo "PASS slurm"
    exit 0
fi

rm -rf "$work"
mkdir -p "$work"
"$batch" --make-demo "$work/demo" >/dev/null

# The reference: one local run over the whole list.
make_recordings "$work/ref"
status=0
(cd / && "$batch" "${options[@]}" --list "$work/ref/list.txt") >"$work/ref.tsv" || status=$?
[ "$status" -eq 1 ] || fail "reference run exited with $status, not 1"
[ "$(wc -l <"$work/ref.tsv")" -eq 20 ] || fail "reference run printed $(wc -l <"$work/ref.tsv") lines"
strip "$work/ref" <"$work/ref.tsv" >"$work/ref.lines"
grep -q $'^rec07.wav\tNot a WAV-file' "$work/ref.lines" || fail "refused recording not reported"

if [ "$mode" = local ]; then
    make_recordings "$work/loc"
    for i in 0 1 2; do
        "$batch" "${options[@]}" --list "$work/loc/list.txt" --shard "$i/3" --jobs 2 \
            >"$work/loc/list.txt.task-$i.tsv" || true
    done
    diff <(cat "$work"/loc/list.txt.task-*.tsv | strip "$work/loc" | sort) \
        <(sort "$work/ref.lines") || fail "three shards do not make up the list"
    same_results "$work/loc" 57
    rm "$work/loc/list.txt.task-2.tsv"
    status=0
    missing=$("$scripts/gather" "$work/loc/list.txt" 2>/dev/null | grep -c $'\tno result\t') || status=$?
    [ "$status" -eq 1 ] && [ "$missing" -eq 6 ] || fail "gather without a shard: $missing missing"
    [ -z "$("$batch" --list "$work/loc/list.txt" --shard 25/30)" ] || fail "empty shard printed"
    # Coinciding result names are refused across shards too.
    cp "$work/loc/rec00.wav" "$work/loc/rec00.wax"
    printf 'rec00.wav\nrec00.wax\n' >"$work/loc/dup.txt"
    line=$("$batch" --list "$work/loc/dup.txt" --shard 1/2 || true)
    [[ $line == *$'\tSame result names as '* ]] || fail "a shard wrote another's results: $line"
    status=0
    "$batch" --list "$work/none.txt" 2>/dev/null || status=$?
    [ "$status" -eq 2 ] || fail "a missing list gave $status, not 2"

    touch "$work/loc/rec04.wav"
    "$batch" "${options[@]}" --list "$work/loc/list.txt" --skip-done >"$work/again.tsv" || true
    redone=$(cut -f 1,2 "$work/again.tsv" | grep -v $'\tskipped$' | strip "$work/loc")
    [ "$redone" = $'rec04.wav\tok\nrec07.wav\tNot a WAV-file' ] || fail "--skip-done redid: $redone"
    same_results "$work/loc" 57

    # Lists that the program and gather must read alike: a byte-order mark,
    # a NUL byte, and names that differ by a backslash against a tab.
    lists=$work/lists
    mkdir -p "$lists"
    cp "$work/loc/rec00.wav" "$lists/first.wav"
    cp "$work/loc/rec01.wav" "$lists/x"$'\t'"b.wav"
    echo "not a recording" >"$lists/x\tb.wav"
    printf '\xef\xbb\xbffirst.wav\n' >"$lists/bom.txt"
    "$batch" --list "$lists/bom.txt" >"$lists/bom.txt.task-0.tsv" || fail "a list with a BOM failed"
    "$scripts/gather" "$lists/bom.txt" >/dev/null || fail "gather lost the first name of a list with a BOM"
    # With --matches the seventh column reaches the summary, "-" for a
    # recording without a line.
    cp "$work/loc/rec02.wav" "$lists/second.wav"
    printf 'first.wav\nsecond.wav\n' >"$lists/seven.txt"
    "$batch" --draw --matches --marker "$marker" --list "$lists/seven.txt" --shard 0/2 \
        >"$lists/seven.txt.task-0.tsv" || fail "a run with --matches failed"
    status=0
    "$scripts/gather" "$lists/seven.txt" >"$lists/seven.tsv" 2>"$lists/seven.err" || status=$?
    sevenths=$(cut -f 7 "$lists/seven.tsv" | tr '\n' '|')
    [ "$status" -eq 1 ] && [ "$sevenths" = "$(cut -f 7 "$lists/seven.txt.task-0.tsv")|-|" ] \
        && grep -q " matches$" "$lists/seven.err" || fail "gather lost the matches: $sevenths"
    printf 'first.wav\nfir\0st.wav\n' >"$lists/nul.txt"
    for program in "$batch --list" "$scripts/gather"; do
        status=0
        $program "$lists/nul.txt" >/dev/null 2>"$lists/nul.err" || status=$?
        [ "$status" -eq 2 ] && grep -q 'line 2 holds a NUL byte' "$lists/nul.err" \
            || fail "$program took a list with a NUL: $status $(cat "$lists/nul.err")"
    done
    printf 'x\tb.wav\nx\\tb.wav\n' >"$lists/tabs.txt"
    "$batch" --list "$lists/tabs.txt" >"$lists/tabs.txt.task-0.tsv" || true
    status=0
    "$scripts/gather" "$lists/tabs.txt" >"$lists/tabs.tsv" 2>/dev/null || status=$?
    [ "$status" -eq 1 ] && [ "$(cut -f 2 "$lists/tabs.tsv" | tr '\n' '|')" = "ok|Not a WAV-file|" ] \
        || fail "gather mixed up a tab and a backslash: $status $(cat "$lists/tabs.tsv")"

    # A mended list submitted again: the recordings after the deleted line
    # move to other tasks, and keep their numbers.
    mended=$work/mended
    make_recordings "$mended"
    array() {
        local i
        for i in 0 1 2; do
            SLURM_ARRAY_TASK_ID=$i SLURM_ARRAY_TASK_COUNT=3 QUORVANE_BATCH=$batch \
                "$scripts/quorvane-array.sbatch" "$mended/list.txt" "${options[@]}" "$@" || true
            sleep 0.01
        done
    }
    array
    grep -v '^rec07.wav' "$mended/list.txt" >"$mended/list.new" && mv "$mended/list.new" "$mended/list.txt"
    array --skip-done
    "$scripts/gather" "$mended/list.txt" >"$work/mended.tsv" 2>/dev/null || fail "gather after mending failed"
    diff <(strip "$mended" <"$work/mended.tsv") <(grep -v '^rec07.wav' "$work/ref.lines") \
        || fail "the mended list lost numbers"
    echo "PASS local"
    exit 0
fi

# Slurm needs its daemons and root.
for tool in slurmctld slurmd sbatch munged; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$(id -u)" -eq 0 ] || { echo "SKIP: the Slurm daemons need root"; exit 77; }
make_recordings "$work/clu"
exec "$scripts/local-slurm" "$work/slurm" "$0" inside "$batch" "$scripts" "$work"
