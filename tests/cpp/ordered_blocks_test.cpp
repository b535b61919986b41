// Tests of the ordered block runner: results in block order whatever the threads' timing, a
// bounded look-ahead, cancellation through the workers' interrupt (also from another thread
// than the consumer's), a worker's exception raised to the consumer after the results before
// it, and a thread that cannot start.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tables/ordered_blocks.hpp"

namespace treetally {
namespace {

using namespace std::chrono_literals;

// Everything next() gives until the run finishes.
template <class Result>
std::vector<Result> drain(OrderedBlocks<Result>& run) {
    std::vector<Result> results;
    while (!run.finished()) {
        if (auto result = run.next(10ms)) results.push_back(std::move(*result));
    }
    return results;
}

class OrderedBlocksThreads : public testing::TestWithParam<std::size_t> {};

TEST_P(OrderedBlocksThreads, DeliversEveryBlockInOrderWithABoundedLookAhead) {
    const std::size_t threads = GetParam();
    std::atomic<std::size_t> started{0};
    std::atomic<std::size_t> delivered{0};
    std::atomic<std::size_t> most_ahead{0};
    OrderedBlocks<std::size_t> run(60, threads, [&](std::size_t block, const InterruptCheck&) {
        const std::size_t ahead = ++started - delivered.load();
        std::size_t seen = most_ahead.load();
        while (ahead > seen && !most_ahead.compare_exchange_weak(seen, ahead)) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds((block * 7919) % 900));
        return block * block;
    });
    std::vector<std::size_t> results;
    while (!run.finished()) {
        if (auto result = run.next(10ms)) {
            results.push_back(*result);
            ++delivered;
        }
        if (results.size() % 10 == 3) std::this_thread::sleep_for(2ms);  // a slow consumer
    }
    ASSERT_EQ(results.size(), 60u);
    for (std::size_t b = 0; b < results.size(); ++b) EXPECT_EQ(results[b], b * b);
    EXPECT_LE(most_ahead.load(), 2 * threads + 1);
    EXPECT_FALSE(run.next(0ms).has_value());
    EXPECT_TRUE(run.complete());
}

TEST_P(OrderedBlocksThreads, CancelStopsWorkersAtTheirNextInterruptCheck) {
    std::atomic<int> running{0};
    auto run = std::make_unique<OrderedBlocks<int>>(
        1000, GetParam(), [&](std::size_t, const InterruptCheck& interrupt) {
            ++running;
            for (;;) {
                interrupt();
                std::this_thread::sleep_for(100us);
            }
            return 0;
        });
    while (running.load() == 0) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(run->next(1ms).has_value());
    EXPECT_FALSE(run->finished());
    run->cancel();
    EXPECT_TRUE(run->finished());
    EXPECT_FALSE(run->complete());  // a cancelled run is not a whole one
    EXPECT_FALSE(run->next(1ms).has_value());
    const auto start = std::chrono::steady_clock::now();
    run.reset();  // joins
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

TEST_P(OrderedBlocksThreads, AWorkersExceptionEndsTheRunAfterBlocksInOrder) {
    OrderedBlocks<std::size_t> run(20, GetParam(), [](std::size_t block, const InterruptCheck&) {
        if (block == 5) throw std::runtime_error("block 5");
        return block;
    });
    std::vector<std::size_t> results;
    EXPECT_THROW(
        {
            while (!run.finished()) {
                if (auto result = run.next(10ms)) results.push_back(*result);
            }
        },
        std::runtime_error);
    EXPECT_LE(results.size(), 5u);
    for (std::size_t b = 0; b < results.size(); ++b) EXPECT_EQ(results[b], b);
    EXPECT_TRUE(run.finished());
    EXPECT_FALSE(run.next(1ms).has_value());
}

// A consumer waiting in next() on one thread while another cancels: the wait ends at once,
// and the run reads as stopped, not as complete, however far it got.
TEST_P(OrderedBlocksThreads, CancelFromAnotherThreadEndsAWaitingConsumer) {
    for (int trial = 0; trial < 20; ++trial) {
        OrderedBlocks<int> run(400, GetParam(), [](std::size_t, const InterruptCheck& interrupt) {
            for (int k = 0; k < 50; ++k) {
                interrupt();
                std::this_thread::sleep_for(20us);
            }
            return 1;
        });
        std::thread closer([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(trial * 500));
            run.cancel();
        });
        std::size_t delivered = 0;
        const auto start = std::chrono::steady_clock::now();
        while (!run.finished()) {
            if (run.next(10s)) ++delivered;
        }
        closer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_LT(delivered, 400u);
        EXPECT_FALSE(run.complete());
    }
}

// A thread that cannot start: the constructor raises the failure once the workers started
// before it have stopped, and nothing runs on.
TEST_P(OrderedBlocksThreads, AThreadThatCannotStartStopsTheOthersAndRaises) {
    const std::size_t threads = GetParam();
    std::atomic<std::size_t> started{0};
    std::atomic<std::size_t> ended{0};
    std::atomic<std::size_t> counted{0};
    const auto launch = [&](std::function<void()> body) {
        if (started == threads - 1)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread([&ended, body = std::move(body)] {
            body();
            ++ended;
        });
    };
    EXPECT_THROW(OrderedBlocks<int>(
                     1000, threads,
                     [&](std::size_t, const InterruptCheck& interrupt) {
                         ++counted;
                         for (;;) {
                             interrupt();
                             std::this_thread::sleep_for(100us);
                         }
                         return 0;
                     },
                     launch),
                 std::system_error);
    EXPECT_EQ(started.load(), threads - 1);
    EXPECT_EQ(ended.load(), threads - 1);  // joined before the constructor raised
    const std::size_t before = counted.load();
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(counted.load(), before);
}

INSTANTIATE_TEST_SUITE_P(Threads, OrderedBlocksThreads, testing::Values(1, 2, 5));

TEST(OrderedBlocks, StartsNoMoreThreadsThanBlocks) {
    EXPECT_EQ(started_threads(8, 3), 3u);
    EXPECT_EQ(started_threads(0, 3), 1u);
    EXPECT_EQ(started_threads(2, 0), 0u);
    std::atomic<std::size_t> launched{0};
    OrderedBlocks<int> run(
        3, 64, [](std::size_t block, const InterruptCheck&) { return static_cast<int>(block); },
        [&](std::function<void()> body) {
            ++launched;
            return std::thread(std::move(body));
        });
    EXPECT_EQ(drain(run), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(launched.load(), 3u);
    EXPECT_GE(core_count(), 1u);
}

TEST(OrderedBlocks, NoBlocksFinishAtOnceAndASlowBlockTimesOut) {
    OrderedBlocks<int> none(0, 4, [](std::size_t, const InterruptCheck&) { return 1; });
    EXPECT_TRUE(none.finished());
    EXPECT_FALSE(none.next(0ms).has_value());

    OrderedBlocks<int> slow(1, 1, [](std::size_t, const InterruptCheck&) {
        std::this_thread::sleep_for(100ms);
        return 7;
    });
    EXPECT_FALSE(slow.next(1ms).has_value());
    EXPECT_FALSE(slow.finished());
    EXPECT_EQ(drain(slow), std::vector<int>{7});
}

}  // namespace
}  // namespace treetally
