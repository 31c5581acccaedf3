#!/bin/bash
# Submits the four shard tasks of the S1 sweep and the merge job that waits
# for all of them to succeed.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
shards=$(sbatch --parsable "$here/s1-shard.sbatch")
sbatch --dependency=afterok:"$shards" "$here/s1-merge.sbatch"
