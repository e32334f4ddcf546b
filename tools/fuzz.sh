#!/usr/bin/env bash
# Fuzzes one target for as long as asked, growing its corpus outside the tree.
#   tools/fuzz.sh TARGET [SECONDS] [-- LIBFUZZER_OPTIONS...]
#   tools/fuzz.sh --list
# TARGET is a name from tests/fuzz/ (fuzz_TARGET.cpp); SECONDS defaults to 600.
# Builds with clang in CORVANE_FUZZ_BUILD_DIR (default: build-fuzz). The corpus
# grows in $CORVANE_FUZZ_DIR/TARGET/corpus (default folder:
# ~/.cache/corvane-fuzz), seeded from tests/fuzz/corpus/TARGET; an input that
# fails lands in $CORVANE_FUZZ_DIR/TARGET/artifacts. Runs at the lowest
# priority: the machine is shared.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = "--list" ]; then
    ls tests/fuzz/fuzz_*.cpp | sed 's|.*/fuzz_||; s|\.cpp$||'
    exit 0
fi
if [ $# -lt 1 ] || [ ! -f "tests/fuzz/fuzz_$1.cpp" ]; then
    sed -n '2,10p' "$0"
    exit 2
fi
target=$1
seconds=${2:-600}
shift $(($# >= 2 ? 2 : 1))
[ "${1:-}" = "--" ] && shift

build_dir=${CORVANE_FUZZ_BUILD_DIR:-build-fuzz}
work=${CORVANE_FUZZ_DIR:-$HOME/.cache/corvane-fuzz}/$target
mkdir -p "$work/corpus" "$work/artifacts"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    launcher=()
    export CCACHE_BASEDIR="$PWD"
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
        -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    # shellcheck disable=SC2086
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" \
        ${CORVANE_CMAKE_OPTIONS:-}
fi
nice -n 19 cmake --build "$build_dir" -j2 --target "fuzz_$target"

dictionary=()
[ -f "tests/fuzz/dict/$target.dict" ] && dictionary=(-dict="tests/fuzz/dict/$target.dict")
binary=$build_dir/tests/fuzz/fuzz_$target

# At the lowest priority on a busy machine an input can take a second of wall
# time that takes milliseconds of work; and after tens of millions of runs the
# fuzzer's own memory (with the sanitizers' bookkeeping) can pass 256 MB while
# the input it stopped at needs a fraction of that. A timeout or out-of-memory
# finding is checked again alone at normal priority; one that does not hold is
# dropped and fuzzing goes on from the corpus grown so far.
finding_held() {
    ! "$binary" -timeout=1 -rss_limit_mb=256 "$1" >/dev/null 2>&1
}

end=$((SECONDS + seconds))
status=0
while [ "$SECONDS" -lt "$end" ]; do
    before=$(ls "$work/artifacts" | wc -l)
    status=0
    nice -n 19 "$binary" -max_total_time=$((end - SECONDS)) -timeout=1 -rss_limit_mb=256 \
        -print_final_stats=1 "${dictionary[@]}" -artifact_prefix="$work/artifacts/" "$@" \
        "$work/corpus" "tests/fuzz/corpus/$target" || status=$?
    [ "$status" -eq 0 ] && break
    newest=$(ls -t "$work/artifacts" | head -1)
    if [ "$(ls "$work/artifacts" | wc -l)" -gt "$before" ] &&
        [[ "$newest" == timeout-* || "$newest" == oom-* ]] &&
        ! finding_held "$work/artifacts/$newest"; then
        echo "fuzz.sh: $newest does not hold for the input alone; going on"
        rm -f "$work/artifacts/$newest"
        continue
    fi
    break
done
if [ "$status" -ne 0 ]; then
    echo
    echo "The failing input is in $work/artifacts/. Once mended, keep it:"
    echo "  cp $work/artifacts/<file> tests/fuzz/regressions/$target/<what-it-does>"
fi
exit "$status"
