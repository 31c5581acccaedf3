#include "cli/parallel_executor.hpp"

#include "support/expect_throws.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Core::Cli;
using Core::Kvrn::SweepTask;

namespace {

using namespace std::chrono_literals;

// Records what an executor did with each task, from any thread.
struct Journal {
    std::mutex mutex;
    std::vector<std::size_t> commits;
    std::vector<bool> computed;
    std::atomic<int> running{0};
    std::atomic<int> mostRunning{0};
    bool committedBeforeComputed = false;

    explicit Journal(std::size_t count) : computed(count, false) {}

    SweepTask compute(std::chrono::milliseconds pause = 0ms) {
        return [this, pause](std::size_t i) {
            const int now = ++running;
            int seen = mostRunning.load();
            while (now > seen && !mostRunning.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(pause * static_cast<int>(i % 3));
            --running;
            const std::lock_guard lock(mutex);
            computed[i] = true;
        };
    }
    SweepTask commit() {
        return [this](std::size_t i) {
            const std::lock_guard lock(mutex);
            if (!computed[i]) committedBeforeComputed = true;
            commits.push_back(i);
        };
    }
};

std::vector<std::size_t> upTo(std::size_t n) {
    std::vector<std::size_t> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(i);
    return v;
}

}  // namespace

TEST(ThreadPoolExecutor, CommitsEveryTaskOnceInOrderAfterItsCompute) {
    for (unsigned threads : {1u, 2u, 4u}) {
        Journal journal(40);
        threadPoolExecutor(threads)(40, journal.compute(1ms), journal.commit());
        EXPECT_EQ(journal.commits, upTo(40)) << threads;
        EXPECT_FALSE(journal.committedBeforeComputed) << threads;
        if (threads > 1) {
            EXPECT_GT(journal.mostRunning.load(), 1) << "computes ran one at a time";
        }
    }
    Journal none(0);
    threadPoolExecutor(4)(0, none.compute(), none.commit());
    EXPECT_TRUE(none.commits.empty());
}

TEST(ThreadPoolExecutor, CommitsStreamWhileLaterTasksAreStillComputing) {
    // The last task waits until task 0 is committed: an executor that holds
    // every commit back until all computes are done would never get there.
    std::atomic<bool> firstCommitted{false};
    bool sawFirstCommit = false;
    const SweepTask compute = [&](std::size_t i) {
        if (i != 9) return;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!firstCommitted && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        sawFirstCommit = firstCommitted;
    };
    const SweepTask commit = [&](std::size_t i) {
        if (i == 0) firstCommitted = true;
    };
    threadPoolExecutor(2)(10, compute, commit);
    EXPECT_TRUE(sawFirstCommit);
}

TEST(ThreadPoolExecutor, TheFailureOfTheLowestTaskWinsAndEarlierTasksStillCommit) {
    // Task 6 fails at once, task 2 fails late: the error of task 2 reaches the
    // caller, tasks 0 and 1 are committed, nothing from 2 on.
    Journal journal(10);
    const SweepTask compute = [&](std::size_t i) {
        if (i == 6) throw std::runtime_error("six");
        if (i == 2) {
            std::this_thread::sleep_for(50ms);
            throw std::runtime_error("two");
        }
        journal.compute()(i);
    };
    EXPECT_THROW_MSG(threadPoolExecutor(4)(10, compute, journal.commit()), std::runtime_error, "two");
    EXPECT_EQ(journal.commits, upTo(2));

    Journal failingCommit(10);
    const SweepTask commit = [&](std::size_t i) {
        if (i == 3) throw std::invalid_argument("cannot write");
        failingCommit.commit()(i);
    };
    EXPECT_THROW_MSG(threadPoolExecutor(3)(10, failingCommit.compute(), commit), std::invalid_argument,
                     "cannot write");
    EXPECT_EQ(failingCommit.commits, upTo(3));
}

TEST(ThreadPoolExecutor, AStopRequestEndsAfterTheTasksInProgress) {
    for (unsigned threads : {1u, 3u}) {
        std::atomic<bool> stop{false};
        Journal journal(100);
        const SweepTask commit = [&](std::size_t i) {
            journal.commit()(i);
            if (i == 4) stop = true;
        };
        EXPECT_THROW_MSG(threadPoolExecutor(threads, &stop)(100, journal.compute(1ms), commit),
                         SweepInterrupted, "the sweep was interrupted");
        // Whatever was committed is a prefix that reaches past the stop.
        ASSERT_GE(journal.commits.size(), 5u);
        EXPECT_LT(journal.commits.size(), 100u);
        EXPECT_EQ(journal.commits, upTo(journal.commits.size()));
    }
}

TEST(SerialExecutor, RunsInOrderAndChecksTheStopBeforeEachTask) {
    std::atomic<bool> stop{false};
    std::vector<std::string> calls;
    const SweepTask compute = [&](std::size_t i) { calls.push_back("compute " + std::to_string(i)); };
    const SweepTask commit = [&](std::size_t i) {
        calls.push_back("commit " + std::to_string(i));
        if (i == 1) stop = true;
    };
    EXPECT_THROW(serialExecutor(&stop)(5, compute, commit), SweepInterrupted);
    EXPECT_EQ(calls, (std::vector<std::string>{"compute 0", "commit 0", "compute 1", "commit 1"}));
}
