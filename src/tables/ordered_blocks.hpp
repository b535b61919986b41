// Counts blocks 0 .. blocks-1 on worker threads and hands the results to one consumer strictly
// in block order. Each worker takes the next block as soon as it is free, but never more than
// 2 * threads blocks past the last one delivered, so a slow consumer holds memory for a bounded
// number of results. The consumer waits with a timeout, so that it can answer its own
// interrupts (Ctrl-C) between waits.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "base/interrupt_check.hpp"
#include "base/thread_count.hpp"

namespace treetally {

template <class Result>
class OrderedBlocks {
  public:
    using Count = std::function<Result(std::size_t block, const InterruptCheck& interrupt)>;
    // Starts one worker thread running `body`; std::thread's constructor unless a test makes
    // it fail.
    using Launch = std::function<std::thread(std::function<void()> body)>;

    // Starts started_threads(threads, blocks) workers calling `count`, which must be safe to
    // call from several threads at once. The `interrupt` each call gets raises once the run is
    // cancelled; `count` should ask it often. A thread that cannot start (std::system_error)
    // is raised here once the workers started before it have stopped.
    OrderedBlocks(std::size_t blocks, std::size_t threads, Count count, const Launch& launch = {})
        : blocks_(blocks),
          window_(2 * std::max<std::size_t>(threads, 1)),
          slots_(window_),
          count_(std::move(count)) {
        const std::size_t workers = started_threads(threads, blocks);
        try {
            workers_.reserve(workers);
            for (std::size_t k = 0; k < workers; ++k) {
                std::function<void()> body = [this] { work(); };
                if (launch)
                    workers_.push_back(launch(std::move(body)));
                else
                    workers_.emplace_back(std::move(body));
            }
        } catch (...) {
            stop_and_join();
            throw;
        }
    }
    OrderedBlocks(const OrderedBlocks&) = delete;
    OrderedBlocks& operator=(const OrderedBlocks&) = delete;
    ~OrderedBlocks() { stop_and_join(); }

    // The next block's result once it is ready, waiting up to `timeout` for it; nullopt when
    // it is not ready yet (finished() false) or when nothing is left (finished() true). A
    // worker's exception is raised here, once, after the results already counted before it,
    // and ends the run.
    std::optional<Result> next(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        ready_.wait_for(lock, timeout, [&] { return ended() || error_ || slot().has_value(); });
        if (!ended() && slot().has_value()) {
            std::optional<Result> result = std::exchange(slot(), std::nullopt);
            ++delivered_;
            lock.unlock();
            room_.notify_all();
            return result;
        }
        if (error_ && !ended()) {
            std::exception_ptr error = std::exchange(error_, nullptr);
            failed_ = true;
            lock.unlock();
            std::rethrow_exception(error);
        }
        return std::nullopt;
    }

    // True once every block is delivered, the run was cancelled, or it failed.
    bool finished() const {
        const std::lock_guard lock(mutex_);
        return ended() && !error_;
    }

    // True once every block is delivered: finished() and not cut short by cancel() or a
    // failure.
    bool complete() const {
        const std::lock_guard lock(mutex_);
        return delivered_ == blocks_;
    }

    // Stops the workers at their next interrupt check; next() then returns nothing. Safe to
    // call from any thread, also while another waits in next().
    void cancel() {
        {
            const std::lock_guard lock(mutex_);
            cancelled_ = true;
            stopping_ = true;
        }
        room_.notify_all();
        ready_.notify_all();
    }

  private:
    // What an interrupt raises in a worker of a stopped run: no std::exception, so that a
    // `count` catching those lets it pass.
    struct Stopped {};

    bool ended() const { return cancelled_ || failed_ || delivered_ == blocks_; }
    std::optional<Result>& slot() { return slots_[delivered_ % window_]; }

    void work() {
        const InterruptCheck interrupt([this] {
            if (stopping_.load(std::memory_order_relaxed)) throw Stopped{};
        });
        for (;;) {
            std::size_t block;
            {
                std::unique_lock lock(mutex_);
                room_.wait(lock, [&] {
                    return stopping_ || taken_ >= blocks_ || taken_ < delivered_ + window_;
                });
                if (stopping_ || taken_ >= blocks_) return;
                block = taken_++;
            }
            try {
                Result result = count_(block, interrupt);
                {
                    const std::lock_guard lock(mutex_);
                    slots_[block % window_] = std::move(result);
                }
                ready_.notify_all();
            } catch (...) {
                {
                    const std::lock_guard lock(mutex_);
                    // Once stopping, whatever a worker raises is the stop itself.
                    if (!stopping_) error_ = std::current_exception();
                    stopping_ = true;
                }
                room_.notify_all();
                ready_.notify_all();
                return;
            }
        }
    }

    void stop_and_join() {
        cancel();
        for (std::thread& worker : workers_) {
            if (worker.joinable()) worker.join();
        }
    }

    const std::size_t blocks_;
    const std::size_t window_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;             // a result, an error or the end, for the consumer
    std::condition_variable room_;              // room in the window, or the stop, for the workers
    std::vector<std::optional<Result>> slots_;  // block b waits in slot b % window_
    std::size_t taken_ = 0;
    std::size_t delivered_ = 0;
    std::atomic<bool> stopping_{false};  // workers take no more blocks (set under mutex_)
    bool cancelled_ = false;             // the consumer stopped the run
    bool failed_ = false;                // a worker's exception was raised by next()
    std::exception_ptr error_;
    Count count_;
    std::vector<std::thread> workers_;
};

}  // namespace treetally
