// Tests of the ordered block runner: results in block order whatever the threads' timing, a
// bounded look-ahead, cancellation through the workers' interrupt, and a worker's exception
// raised to the consumer after the results before it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

#include "exposure/ordered_blocks.hpp"

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

INSTANTIATE_TEST_SUITE_P(Threads, OrderedBlocksThreads, testing::Values(1, 2, 5));

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
