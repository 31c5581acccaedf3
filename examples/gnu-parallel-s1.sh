#!/bin/bash
# The S1 sweep as four shards under GNU parallel on this machine, merged and
# reported. With -S host1,host2 (and vostel and a shared directory on every
# host) the same line spreads the shards over several machines.
# Run from the repository root: examples/gnu-parallel-s1.sh [WORKDIR]
set -euo pipefail

vostel=${VOSTEL:-vostel}
sweep=${VOSTEL_SWEEP:-Vostel/experiments/s1-stochasticity-sweep.vostel}
work=${1:-s1-work}

parallel --will-cite --halt now,fail=1 \
    "$vostel" run "$sweep" --shard {}/4 --registry "$work"/shard-{} --jobs 1 --quiet ::: 1 2 3 4
rm -rf "$work/merged"
"$vostel" registry merge "$work/merged" "$work"/shard-{1..4}
"$vostel" run "$sweep" --registry "$work/merged" --plot "$work/s1.svg"
