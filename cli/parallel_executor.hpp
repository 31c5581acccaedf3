#pragma once

#include <atomic>
#include <stdexcept>

#include "sweep/sweep_runner.hpp"

// Executors for the sweep runner that run (point, seed) pairs on several
// threads and can be asked to stop between pairs.
namespace Core::Cli {

// Thrown in place of the first pair that was not started because a stop was
// requested; every pair before it has been committed.
struct SweepInterrupted : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs compute on `threads` worker threads (at least 1; the calling thread is
// one of them) and commits each pair as soon as it and every pair before it
// are computed, so the commits stream in index order while later pairs are
// still being computed. At most a few pairs per thread wait computed for an
// earlier one, which bounds memory. An exception ends the sweep: no pair
// after it is started, the pairs before it are still computed and committed,
// and the exception of the lowest pair index is rethrown once every thread
// has finished. When `stop` (may be null) becomes true, no further pair is
// started and the sweep ends with SweepInterrupted after the pairs in
// progress are committed.
Kvrn::SweepExecutor threadPoolExecutor(unsigned threads, const std::atomic<bool>* stop = nullptr);

// compute(i); commit(i) in order on the calling thread, checking `stop` (may
// be null) before each pair.
Kvrn::SweepExecutor serialExecutor(const std::atomic<bool>* stop = nullptr);

}  // namespace Core::Cli
