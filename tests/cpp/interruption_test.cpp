// Stopping a load or an indexing from outside, as Ctrl-C does through the Python binding: the
// check is asked often enough, also while a read waits on a signal, whatever it raises ends the
// call, and a check that never raises changes nothing.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <variant>

#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "tree/newick_reader.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

struct Stop {};  // what the tests' checks raise

// A check that counts the times it is asked and raises Stop when asked for the `stop_at`-th
// time (never when 0).
class CountingCheck {
  public:
    explicit CountingCheck(std::size_t stop_at = 0)
        : check_([this, stop_at] {
              if (++calls_ == stop_at) throw Stop{};
          }) {}
    CountingCheck(const CountingCheck&) = delete;
    CountingCheck& operator=(const CountingCheck&) = delete;

    // A load that asks this check, on an unlimited machine.
    LoadContext context() const { return LoadContext{check_}; }
    std::size_t calls() const { return calls_; }

  private:
    std::size_t calls_ = 0;
    InterruptCheck check_;
};

// A megabyte of lines of 100 bytes each.
std::string megabyte_of_trees() {
    std::string text;
    for (int k = 0; text.size() < (1 << 20); ++k) {
        std::string line = "((A" + std::to_string(k % 50) + ":1,B:2),C);";
        text += line + std::string(99 - line.size(), ' ') + "\n";
    }
    return text;
}

TEST(Interruption, LoadAsksBeforeEveryBufferOfInputAndChangesNothing) {
    const test::TempDir dir;
    const std::string text = megabyte_of_trees();
    const std::string path = dir.write("trees.nwk", text);
    CountingCheck counting;
    const LoadResult checked = load_tree_collection(path, counting.context());
    EXPECT_GE(counting.calls(), text.size() / 8192);
    const LoadResult plain = load_tree_collection(path);
    const auto& a = std::get<TreeCollection>(checked);
    const auto& b = std::get<TreeCollection>(plain);
    EXPECT_EQ(a.trees.size(), b.trees.size());
    EXPECT_EQ(a.taxon_set.taxon_names(), b.taxon_set.taxon_names());
}

TEST(Interruption, WhatTheCheckRaisesEndsTheLoadOrTheIndexing) {
    const test::TempDir dir;
    const std::string path = dir.write("trees.nwk", megabyte_of_trees());
    CountingCheck loading;
    (void)load_tree_collection(path, loading.context());
    CountingCheck loading_and_indexing;
    (void)load_tree_set_data(path, loading_and_indexing.context());
    // Indexing asks too, every so many trees.
    ASSERT_GT(loading_and_indexing.calls(), loading.calls());

    EXPECT_THROW((void)load_tree_collection(path, CountingCheck(10).context()), Stop);
    // Raised by the last question, which indexing asks.
    EXPECT_THROW(
        (void)load_tree_set_data(path, CountingCheck(loading_and_indexing.calls()).context()),
        Stop);
}

TEST(Interruption, IndexingAsksWhilePlacingThePerTaxonTables) {
    // A few tiny trees over many taxa: adding them is little work, placing their tables much.
    TreeCollection collection;
    for (const char* text : {"(A,B);", "(A,C);", "(B,C);", "(A,(B,C));"})
        collection.trees.push_back(parse_newick_tree(text, collection.taxon_set));
    for (int k = 0; k < 200'000; ++k) collection.taxon_set.insert_or_get(std::to_string(k));
    CountingCheck counting;
    const TreeSetData data = index_tree_collection(collection, counting.context());
    EXPECT_EQ(data.tree_count(), 4u);
    EXPECT_GE(counting.calls(), 4u);  // adding them alone would not ask once
    EXPECT_THROW((void)index_tree_collection(collection, CountingCheck(1).context()), Stop);
}

// A signal whose handler only notes that it came, installed without SA_RESTART, as the Python
// interpreter installs its own, so that a waiting open() or read() fails with EINTR.
std::atomic<bool> signal_came{false};

class NoteSignal {
  public:
    NoteSignal() {
        struct sigaction action {};
        action.sa_handler = [](int) { signal_came = true; };
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
        signal_came = false;
    }
    NoteSignal(const NoteSignal&) = delete;
    NoteSignal& operator=(const NoteSignal&) = delete;
    ~NoteSignal() { sigaction(SIGUSR1, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

enum class Writer { None, SilentAfterOneTree };

class InterruptedPipe : public ::testing::TestWithParam<Writer> {};

TEST_P(InterruptedPipe, SignalWhileWaitingReachesTheCheck) {
    const test::TempDir dir;
    const std::string fifo = (dir.path() / "trees.pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const NoteSignal note;
    std::atomic<bool> done{false};
    const pthread_t loader = ::pthread_self();
    std::thread other([&] {
        // The writer end opens once the loader has opened its own; it stays open, silent.
        std::FILE* writer = nullptr;
        if (GetParam() == Writer::SilentAfterOneTree) {
            writer = std::fopen(fifo.c_str(), "w");
            std::fputs("((A,B),C);\n", writer);
            std::fflush(writer);
        }
        // Signalled again and again: one that comes before the wait begins would be missed.
        while (!done) {
            ::pthread_kill(loader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (writer != nullptr) std::fclose(writer);
    });
    const InterruptCheck stop_on_signal([] {
        if (signal_came) throw Stop{};
    });
    EXPECT_THROW((void)load_tree_collection(fifo, LoadContext{stop_on_signal}), Stop);
    done = true;
    other.join();
}

INSTANTIATE_TEST_SUITE_P(Writers, InterruptedPipe,
                         ::testing::Values(Writer::None, Writer::SilentAfterOneTree),
                         [](const auto& test_case) {
                             return test_case.param == Writer::None ? "NoWriter" : "SilentWriter";
                         });

}  // namespace
}  // namespace treetally
