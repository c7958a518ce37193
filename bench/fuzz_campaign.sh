#!/bin/bash
# Fuzzing campaign: builds the clang libFuzzer build if it is missing and runs every fuzz
# target, one after the other, each in its own sandbox (tests/support/sandbox_run keeps the
# daemon's fixed paths private), seeded from the kept corpus fuzz/corpus/<name>/ with a scratch
# directory as the working corpus. Prints "name runs seconds exec/s new" per target (new: inputs
# with new coverage, kept in the scratch corpus), libFuzzer's own closing lines, and the
# total; exits non-zero when any target left a crash, leak, timeout or out-of-memory file.
#
#   bench/fuzz_campaign.sh [--merge] [RUNS] [TARGET...]
#
#   RUNS          executions per target (default 2000000; also from the environment)
#   RUNS_<name>   executions for one target, e.g. RUNS_ConfigLoadFuzz=300000
#   MAX_SECONDS   stop each target after this many seconds even if its runs are not done
#   BUILD         build directory (default build-fuzz-campaign in the repository)
#   KEEP=1        keep the scratch directories (their path is printed)
#   --merge       afterwards replace fuzz/corpus/<name>/ by at most MAX_CORPUS (40) files of
#                 the merge of the kept and the new inputs, chosen for coverage (nothing under
#                 fuzz/corpus/ changes without it)
#
# The builds run with -j2; a finding's input is left in the scratch directory and named in the
# output, so it can be minimised and replayed: sandbox_run BUILD/<name> <file>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
merge=0
if [ "${1:-}" = --merge ]; then
    merge=1
    shift
fi
runs=${RUNS:-2000000}
if [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    runs=$1
    shift
fi
build=${BUILD:-$root/build-fuzz-campaign}
all_targets=(BOOTPDatagramFuzz NDXIdentificationFuzz TftpRequestFuzz ConfigLoadFuzz LogServerMessageFuzz
             KConfigReaderFuzz SystemConfigFuzz)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
sandbox=$root/tests/support/sandbox_run

if [ ! -f "$build/CMakeCache.txt" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTAVO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

# UBSan reports would only be printed: make each one a finding with an input file. A smaller
# quarantine keeps the freed memory warm (the default 256 MB halves the speed of the targets
# that open files); a use after free of recent blocks is still caught.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}
scratch_root=$(mktemp -d /tmp/fuzz-campaign-$$-XXXX)
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$scratch_root"; }
trap cleanup EXIT

total_runs=0
total_seconds=0
findings=0
printf '%-22s %10s %9s %9s %7s\n' name runs seconds exec/s new
for name in "${targets[@]}"; do
    kept=$root/fuzz/corpus/$name
    work=$scratch_root/$name
    mkdir -p "$work/corpus" "$work/artifacts"
    var=RUNS_$name
    target_runs=${!var:-$runs}
    limit=()
    [ -z "${MAX_SECONDS:-}" ] || limit=(-max_total_time="$MAX_SECONDS")
    start=$(date +%s.%N)
    status=0
    "$sandbox" "$build/$name" -runs="$target_runs" "${limit[@]}" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" "$kept" \
        >"$work/log" 2>&1 || status=$?
    end=$(date +%s.%N)
    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$work/log" | tail -1 || true)
    executed=$(grep -E '^stat::number_of_executed_units:' "$work/log" | awk '{print $2}' | tail -1 || true)
    [ -n "$executed" ] || executed=$(echo "$done_line" | awk '{print $2}')
    [ -n "$executed" ] || executed=0
    seconds=$(echo "$end - $start" | bc)
    rate=$(echo "scale=0; $executed / $seconds" | bc)
    added=$(find "$work/corpus" -type f | wc -l)
    printf '%-22s %10d %9.1f %9d %7d\n' "$name" "$executed" "$seconds" "$rate" "$added"
    [ -z "$done_line" ] || echo "    $done_line"
    grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -1 | sed 's/^/    /' || true
    found=$(find "$work/artifacts" -type f | wc -l)
    if [ "$found" -gt 0 ] || [ "$status" -ne 0 ]; then
        findings=$((findings + 1))
        KEEP=1
        echo "    FINDING (exit $status): $(find "$work/artifacts" -type f | tr '\n' ' ')" >&2
        grep -E 'ERROR: |runtime error:|SUMMARY:' "$work/log" | head -5 | sed 's/^/    /' >&2 || true
        echo "    log: $work/log" >&2
    fi
    total_runs=$((total_runs + executed))
    total_seconds=$(echo "$total_seconds + $seconds" | bc)

    if [ "$merge" = 1 ] && [ "$found" -eq 0 ]; then
        # libFuzzer's merge records what every input covers; of those, keep at most
        # MAX_CORPUS files (default 40) chosen greedily: each next file is the one adding the
        # most new edges (then features, then the smaller), so a small corpus keeps most of
        # the coverage. Kept seeds keep their names; new files are named by their SHA-1.
        fresh=$work/merged
        mkdir -p "$fresh"
        "$sandbox" "$build/$name" -merge=1 -timeout=10 -merge_control_file="$work/merge.control" \
            "$fresh" "$kept" "$work/corpus" >"$work/merge.log" 2>&1
        mkdir -p "$work/chosen"
        python3 - "$work/merge.control" "$kept" "$work/chosen" "${MAX_CORPUS:-40}" <<'EOF'
import hashlib, os, shutil, sys
control, kept, chosen, cap = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
lines = open(control).read().split("\n")
count = int(lines[0])
paths = lines[2:2 + count]
edges, features = {}, {}
for line in lines[2 + count:]:
    parts = line.split()
    if len(parts) >= 2 and parts[0] in ("FT", "COV"):
        (features if parts[0] == "FT" else edges)[int(parts[1])] = set(parts[2:])
seen_edges, seen_features, picked = set(), set(), []
candidates = set(edges) | set(features)
while len(picked) < cap:
    def gain(i):
        return (len(edges.get(i, set()) - seen_edges), len(features.get(i, set()) - seen_features),
                -os.path.getsize(paths[i]))
    best = max(candidates - set(picked), key=gain, default=None)
    if best is None or gain(best)[:2] == (0, 0):
        break
    picked.append(best)
    seen_edges |= edges.get(best, set())
    seen_features |= features.get(best, set())
names = {}
for entry in os.listdir(kept):
    names[hashlib.sha1(open(os.path.join(kept, entry), "rb").read()).hexdigest()] = entry
for i in picked:
    digest = hashlib.sha1(open(paths[i], "rb").read()).hexdigest()
    shutil.copyfile(paths[i], os.path.join(chosen, names.get(digest, digest)))
print("    merged: %d inputs cover %d edges; kept %d covering %d" %
      (count, len(set().union(*edges.values())) if edges else 0, len(picked), len(seen_edges)))
EOF
        rm -f "$kept"/*
        cp "$work/chosen"/* "$kept"/
    fi
done
printf '%-22s %10d %9.1f %9d\n' total "$total_runs" "$total_seconds" "$(echo "scale=0; $total_runs / $total_seconds" | bc)"
if [ "$findings" -gt 0 ]; then
    echo "$findings target(s) with findings; scratch kept in $scratch_root" >&2
    exit 1
fi
