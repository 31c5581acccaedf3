#include "cli/parallel_executor.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include <pthread.h>
#include <sched.h>

namespace Core::Cli {

namespace {

const char* const kInterrupted = "the sweep was interrupted";
// Pairs a thread may run ahead of the oldest uncommitted pair.
constexpr std::size_t kLookaheadPerThread = 4;

// Shared by the workers of one sweep; every field is guarded by `mutex`.
class PairSchedule {
  public:
    PairSchedule(std::size_t count, std::size_t lookahead, const Kvrn::SweepTask& compute,
                 const Kvrn::SweepTask& commit, const std::atomic<bool>* stop)
        : lookahead_(lookahead),
          compute_(compute),
          commit_(commit),
          stop_(stop),
          limit_(count),
          computed_(std::max<std::size_t>(1, std::min(count, lookahead)), false),
          errors_(computed_.size()) {}

    void work() {
        for (;;) {
            std::size_t i = 0;
            {
                std::unique_lock lock(mutex_);
                // Wait while the next pair would run too far ahead of the commits.
                changed_.wait(lock, [&] { return next_ >= limit_ || next_ < committed_ + lookahead_; });
                if (next_ >= limit_) return;
                i = next_++;
            }
            std::exception_ptr error;
            if (stop_ != nullptr && stop_->load()) {
                error = std::make_exception_ptr(SweepInterrupted(kInterrupted));
            } else {
                try {
                    compute_(i);
                } catch (...) {
                    error = std::current_exception();
                }
            }
            finish(i, error);
        }
    }

    // The exception that ended the sweep, or null.
    std::exception_ptr failure() const { return failure_; }

  private:
    // Marks pair i computed, then commits every pair of the completed prefix
    // unless another thread is already doing so.
    void finish(std::size_t i, std::exception_ptr error) {
        std::unique_lock lock(mutex_);
        computed_[i % computed_.size()] = true;
        if (error) {
            errors_[i % errors_.size()] = error;
            limit_ = std::min(limit_, i + 1);  // nothing after a failed pair is started
        }
        while (!committing_ && committed_ < limit_ && computed_[committed_ % computed_.size()]) {
            const std::size_t c = committed_;
            if (errors_[c % errors_.size()]) {
                stopAt(c, errors_[c % errors_.size()]);
                break;
            }
            committing_ = true;
            lock.unlock();
            std::exception_ptr commitError;
            try {
                commit_(c);
            } catch (...) {
                commitError = std::current_exception();
            }
            lock.lock();
            committing_ = false;
            if (commitError) {
                stopAt(c, commitError);
                break;
            }
            computed_[c % computed_.size()] = false;  // the slot is reused by pair c + lookahead
            ++committed_;
        }
        changed_.notify_all();
    }

    // Ends the sweep at pair c: pairs after it are neither started nor committed.
    void stopAt(std::size_t c, std::exception_ptr error) {
        failure_ = error;
        limit_ = c;
    }

    const std::size_t lookahead_;
    const Kvrn::SweepTask& compute_;
    const Kvrn::SweepTask& commit_;
    const std::atomic<bool>* stop_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_ = 0;       // next pair to start
    std::size_t committed_ = 0;  // pairs committed, a prefix
    std::size_t limit_;          // pairs from here on are not started
    bool committing_ = false;
    // Pairs in flight lie in [committed_, committed_ + lookahead_), so one
    // slot per lookahead position, pair i in slot i mod size, is enough.
    std::vector<bool> computed_;
    std::vector<std::exception_ptr> errors_;
    std::exception_ptr failure_;
};

// The core helper number `helper` (from 0) starts on, or -1 for "anywhere":
// the cores the calling thread may run on are dealt out in turn, starting
// with the one after the caller's, so that no core gets a second worker
// before every core has one.
int startingCore(std::size_t helper, const cpu_set_t& allowed) {
    const int callerCore = sched_getcpu();
    if (callerCore < 0) return -1;
    std::vector<int> cores;
    std::size_t after = 0;  // the position after the caller's core
    for (int core = 0; core < CPU_SETSIZE; ++core) {
        if (!CPU_ISSET(core, &allowed)) continue;
        cores.push_back(core);
        if (core == callerCore) after = cores.size();
    }
    if (cores.size() < 2) return -1;
    return cores[(after + helper) % cores.size()];
}

// A helper thread of a sweep, joined on destruction. It is created on the
// core it is given, and once running it may run on every core the calling
// thread may: only where it starts is chosen. Left to itself, the scheduler
// often queues a new thread on its creator's core, even lets it run there
// first while the creator waits, and moves one of them to an idle core only
// a scheduler tick (milliseconds) later.
class HelperThread {
  public:
    HelperThread(PairSchedule& schedule, std::size_t helper) : schedule_(schedule) {
        pthread_attr_t attributes;
        int error = pthread_attr_init(&attributes);
        if (error != 0) throw std::system_error(error, std::generic_category(), kNoThread);
        if (sched_getaffinity(0, sizeof allowed_, &allowed_) == 0) {
            const int core = startingCore(helper, allowed_);
            if (core >= 0) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(core, &one);
                placed_ = pthread_attr_setaffinity_np(&attributes, sizeof one, &one) == 0;
            }
        }
        error = pthread_create(&thread_, &attributes, &HelperThread::run, this);
        pthread_attr_destroy(&attributes);
        if (error != 0) throw std::system_error(error, std::generic_category(), kNoThread);
    }
    ~HelperThread() { pthread_join(thread_, nullptr); }
    HelperThread(const HelperThread&) = delete;
    HelperThread& operator=(const HelperThread&) = delete;

  private:
    // An exception escaping a worker ends the program: the other workers
    // would wait for its pair forever.
    static void* run(void* self) noexcept {
        HelperThread& helper = *static_cast<HelperThread*>(self);
        if (helper.placed_) pthread_setaffinity_np(pthread_self(), sizeof helper.allowed_, &helper.allowed_);
        helper.schedule_.work();
        return nullptr;
    }

    static constexpr const char* kNoThread = "cannot start a thread for the sweep";

    PairSchedule& schedule_;
    cpu_set_t allowed_{};
    bool placed_ = false;
    pthread_t thread_{};
};

}  // namespace

Kvrn::SweepExecutor threadPoolExecutor(unsigned threads, const std::atomic<bool>* stop) {
    const unsigned workers = std::max(threads, 1u);
    return [workers, stop](std::size_t count, const Kvrn::SweepTask& compute, const Kvrn::SweepTask& commit) {
        PairSchedule schedule(count, kLookaheadPerThread * workers, compute, commit, stop);
        {
            // The calling thread is one of the workers: one thread fewer is
            // started, and its allocator arena and caches are already warm.
            // The helpers start on the other cores.
            std::vector<std::unique_ptr<HelperThread>> helpers;
            const std::size_t used = std::min<std::size_t>(workers, count);
            for (std::size_t t = 1; t < used; ++t)
                helpers.push_back(std::make_unique<HelperThread>(schedule, t - 1));
            // An exception escaping a worker ends the program, on the calling
            // thread as on a helper: the others would wait for its pair forever.
            [&schedule]() noexcept { schedule.work(); }();
        }  // joins the helpers
        if (schedule.failure()) std::rethrow_exception(schedule.failure());
    };
}

Kvrn::SweepExecutor serialExecutor(const std::atomic<bool>* stop) {
    return [stop](std::size_t count, const Kvrn::SweepTask& compute, const Kvrn::SweepTask& commit) {
        for (std::size_t i = 0; i < count; ++i) {
            if (stop != nullptr && stop->load()) throw SweepInterrupted(kInterrupted);
            compute(i);
            commit(i);
        }
    };
}

}  // namespace Core::Cli
