// Tests of the all-quartet and all-quintet tables: every row against the one-tuple sweeps, at
// every kernel width the processor runs and at every depth width, the row order and block
// bounds against itertools.combinations, the memory refusal and interrupted counting.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "tables/combination_order.hpp"
#include "tables/ordered_blocks.hpp"
#include "tables/pair_depth_rows.hpp"
#include "tables/topology_table.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::data_of;

std::vector<KernelWidth> supported_widths() {
    std::vector<KernelWidth> widths;
    for (const KernelWidth w : {KernelWidth::baseline, KernelWidth::avx2, KernelWidth::avx512}) {
        if (kernel_width_supported(w)) widths.push_back(w);
    }
    return widths;
}

// Pins a kernel width for one scope.
struct PinnedWidth {
    explicit PinnedWidth(KernelWidth width) { force_kernel_width(width); }
    ~PinnedWidth() { force_kernel_width(std::nullopt); }
};

std::vector<TableBlock> all_blocks(const TopologyTable& table) {
    std::vector<TableBlock> blocks;
    for (std::size_t b = 0; b < table.block_count(); ++b) blocks.push_back(table.count_block(b));
    return blocks;
}

// The counts, holding and unresolved of row `r` of `block`, and the same from the sweeps.
std::vector<std::uint64_t> row_of(const TableBlock& block, std::size_t r) {
    std::vector<std::uint64_t> row(&block.counts[r * block.codes()],
                                   &block.counts[(r + 1) * block.codes()]);
    row.push_back(block.holding[r]);
    row.push_back(block.unresolved[r]);
    return row;
}

std::vector<std::uint64_t> swept_row(const TreeSetData& data, const std::vector<TaxonId>& taxa,
                                     std::span<const std::uint32_t> slots) {
    std::vector<std::string_view> names;
    std::vector<TaxonId> ids;
    for (const std::uint32_t k : slots) {
        ids.push_back(taxa[k]);
        names.push_back(data.taxon_set.taxon_names()[taxa[k].index()]);
    }
    std::vector<std::uint64_t> row;
    if (slots.size() == 4) {
        const auto tally = tally_single_quartet(data, {names[0], names[1], names[2], names[3]});
        row.assign(tally.begin(), tally.end());
    } else {
        const auto tally =
            tally_single_quintet(data, {names[0], names[1], names[2], names[3], names[4]});
        row.assign(tally.begin(), tally.end());
    }
    std::uint64_t holding = 0;
    for (const TreeLca& lca : data.lcas) {
        holding += std::all_of(ids.begin(), ids.end(),
                               [&](TaxonId id) { return !lca.taxon_position(id).is_absent(); });
    }
    const std::uint64_t resolved = std::accumulate(row.begin(), row.end(), std::uint64_t{0});
    row.push_back(holding);
    row.push_back(holding - resolved);
    return row;
}

void expect_rows_match_sweeps(const TreeSetData& data, const TopologyTable& table) {
    std::uint64_t rows = 0;
    for (const TableBlock& block : all_blocks(table)) {
        for (std::size_t r = 0; r < block.rows; ++r, ++rows) {
            const auto slots = std::span(block.taxa).subspan(r * block.size, block.size);
            ASSERT_EQ(row_of(block, r), swept_row(data, table.taxa(), slots))
                << "row " << block.first_row + r;
        }
    }
    EXPECT_EQ(rows, table.row_count());
}

// Trees over t0..t9 with polytomies, single-child chains, repeated and missing labels, labels
// after ")" and one-leaf trees.
std::string random_tree(std::mt19937_64& rng) {
    if (rng() % 25 == 0) return "t" + std::to_string(rng() % 10) + ";";
    std::vector<std::string> parts;
    const std::size_t leaves = 3 + rng() % 9;
    for (std::size_t k = 0; k < leaves; ++k) parts.push_back("t" + std::to_string(rng() % 10));
    while (parts.size() > 1) {
        const std::size_t width = std::min<std::size_t>(parts.size(), 2 + rng() % 3);
        const std::size_t at = rng() % (parts.size() - width + 1);
        std::string group = "(";
        for (std::size_t k = 0; k < width; ++k) group.append(k ? "," : "").append(parts[at + k]);
        group += ")";
        if (rng() % 4 == 0) group += "t" + std::to_string(rng() % 10);
        for (std::size_t chain = rng() % 6 == 0 ? 1 + rng() % 3 : 0; chain > 0; --chain)
            group = "(" + group + ")";
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(at),
                    parts.begin() + static_cast<std::ptrdiff_t>(at + width));
        parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(at), group);
    }
    return parts[0] + ";";
}

std::vector<TaxonId> shuffled_taxa(const TreeSetData& data, std::mt19937_64& rng) {
    std::vector<TaxonId> taxa(data.taxon_set.size());
    for (std::size_t k = 0; k < taxa.size(); ++k) taxa[k] = TaxonId{static_cast<std::uint32_t>(k)};
    std::shuffle(taxa.begin(), taxa.end(), rng);
    return taxa;
}

constexpr std::size_t ample = std::size_t{1} << 32;

class TableOfSize : public testing::TestWithParam<int> {};

TEST_P(TableOfSize, RandomTreesMatchTheSweepsAtEveryKernelWidth) {
    std::mt19937_64 rng(17 + GetParam());
    for (int round = 0; round < 3; ++round) {
        std::vector<std::string> lines;
        for (int t = 0; t < 150; ++t) lines.push_back(random_tree(rng));
        const TreeSetData data = data_of(lines);
        for (const KernelWidth width : supported_widths()) {
            SCOPED_TRACE(std::string(kernel_width_name(width)));
            const PinnedWidth pinned(width);
            const TopologyTable table(data, shuffled_taxa(data, rng), GetParam(), ample, 9);
            expect_rows_match_sweeps(data, table);
        }
    }
}

// Taxa below depth 255 and 65535 need two- and four-byte depths; the rows still match.
TEST_P(TableOfSize, DeepTreesWidenTheDepths) {
    std::string caterpillar = "t0";
    for (int k = 1; k < 300; ++k) caterpillar = "(" + caterpillar + ",t" + std::to_string(k) + ")";
    const std::string chain = std::string(70000, '(') + "(t0,t1)" + std::string(70000, ')');
    std::mt19937_64 rng(5);
    for (const auto& [deep, depth_bytes] : {std::pair{caterpillar, 2u}, std::pair{chain, 4u}}) {
        std::vector<std::string> lines = {"(" + deep + ",(t2,t3),(t4,t5));", deep + ";"};
        for (int t = 0; t < 70; ++t) lines.push_back(random_tree(rng));
        const TreeSetData data = data_of(lines);
        std::vector<TaxonId> taxa;
        for (const char* name : {"t4", "t0", "t2", "t1", "t3", "t5", "t9"})
            taxa.push_back(data.taxon_set.id_of(name));
        for (const KernelWidth width : supported_widths()) {
            SCOPED_TRACE(std::string(kernel_width_name(width)));
            const PinnedWidth pinned(width);
            const TopologyTable table(data, taxa, GetParam(), ample, 2);
            EXPECT_EQ(table.depth_bytes(), depth_bytes);
            expect_rows_match_sweeps(data, table);
        }
    }
}

// Rows in itertools.combinations order; each block whole prefixes, its first_row the rank of
// its first row; ranks and combinations agree far beyond any table counted here.
TEST_P(TableOfSize, RowsInCombinationOrderAndBlocksOfWholePrefixes) {
    const auto size = static_cast<std::size_t>(GetParam());
    const TreeSetData data = data_of({"(t0,(t1,(t2,t3)),(t4,t5),t6,(t7,t8));"});
    std::vector<std::uint32_t> expected(size);
    std::iota(expected.begin(), expected.end(), 0);
    std::mt19937_64 rng(3);
    for (const std::size_t per_block : {1, 5, 40, 0}) {
        const TopologyTable table(data, shuffled_taxa(data, rng), GetParam(), ample, per_block);
        const CombinationOrder order(9, size);
        std::vector<std::uint32_t> combination(expected);
        std::uint64_t rank = 0;
        std::size_t index = 0;
        for (const TableBlock& block : all_blocks(table)) {
            ASSERT_GT(block.rows, 0u);
            EXPECT_EQ(block.first_row, rank);
            EXPECT_EQ(table.first_row(index++), rank) << "known before counting";
            EXPECT_EQ(block.taxa[size - 1], block.taxa[size - 2] + 1) << "starts a prefix";
            for (std::size_t r = 0; r < block.rows; ++r, ++rank) {
                EXPECT_EQ(std::vector(&block.taxa[r * size], &block.taxa[(r + 1) * size]),
                          combination);
                order.advance(combination);
            }
            EXPECT_LE(block.rows, std::max<std::size_t>(per_block ? per_block : 1 << 16, 9) + 9);
        }
        EXPECT_EQ(rank, table.row_count());
        EXPECT_EQ(table.first_row(table.block_count()), rank);
        EXPECT_THROW(table.first_row(table.block_count() + 1), FatalError);
        EXPECT_EQ(table.row_count(), 126u);  // C(9, 4) = C(9, 5)
    }
    const CombinationOrder large(12489, size);
    std::vector<std::uint32_t> c(size);
    for (int k = 0; k < 1000; ++k) {
        const RowRank rank = (RowRank{rng()} << 64 | rng()) % large.count();
        large.unrank(rank, c);
        ASSERT_TRUE(std::is_sorted(c.begin(), c.end()) && c.back() < 12489);
        ASSERT_TRUE(large.rank(c) == rank);
    }
}

TEST_P(TableOfSize, RefusesATableBeyondItsBudgetBeforeBuildingIt) {
    std::mt19937_64 rng(8);
    std::vector<std::string> lines;
    for (int t = 0; t < 100; ++t) lines.push_back(random_tree(rng));
    const TreeSetData data = data_of(lines);
    const std::vector<TaxonId> taxa = shuffled_taxa(data, rng);
    const std::size_t estimate = TopologyTable::estimated_bytes(data, taxa.size(), GetParam());
    EXPECT_THROW(TopologyTable(data, taxa, GetParam(), 1000), std::bad_alloc);
    const TopologyTable table(data, taxa, GetParam(), estimate);
    EXPECT_LE(table.bytes_needed(), estimate);
    EXPECT_THROW(TopologyTable(data, taxa, GetParam(), table.bytes_needed() - 1), std::bad_alloc);
    const std::size_t before = table.peak_bytes();
    all_blocks(table);
    EXPECT_GT(table.peak_bytes(), before);
    EXPECT_LE(table.peak_bytes(), table.bytes_needed());
}

// The memory a table needs grows with the threads that count it, up to one per block: asking
// for more threads than blocks (or than cores) needs no more than the threads started.
TEST_P(TableOfSize, MemoryCountsTheThreadsStartedNotTheCores) {
    std::mt19937_64 rng(10);
    std::vector<std::string> lines;
    for (int t = 0; t < 100; ++t) lines.push_back(random_tree(rng));
    const TreeSetData data = data_of(lines);
    const std::vector<TaxonId> taxa = shuffled_taxa(data, rng);
    const int size = GetParam();
    const auto needed = [&](std::size_t threads) {
        return TopologyTable(data, taxa, size, ample, 9, threads).bytes_needed();
    };
    const std::size_t blocks = TopologyTable(data, taxa, size, ample, 9).block_count();
    ASSERT_GE(blocks, 5u);
    const std::size_t per_thread = needed(2) - needed(1);
    EXPECT_GT(per_thread, 0u);
    EXPECT_EQ(needed(0), needed(1));
    EXPECT_EQ(needed(5), needed(1) + 4 * per_thread);
    EXPECT_EQ(needed(blocks + 100), needed(blocks));
    EXPECT_EQ(needed(blocks), needed(1) + (blocks - 1) * per_thread);
    for (const std::size_t threads : {1, 4, 64}) {
        EXPECT_LE(TopologyTable(data, taxa, size, ample, 0, threads).bytes_needed(),
                  TopologyTable::estimated_bytes(data, taxa.size(), size, threads));
    }
    // What fits one thread is refused for five.
    EXPECT_NO_THROW(TopologyTable(data, taxa, size, needed(1), 9, 1));
    EXPECT_THROW(TopologyTable(data, taxa, size, needed(1), 9, 5), std::bad_alloc);
}

// A raise from the interrupt ends the count; counting again gives the full answer.
TEST_P(TableOfSize, InterruptedCountsLeaveTheTableUsable) {
    std::mt19937_64 rng(9);
    std::vector<std::string> lines;
    for (int t = 0; t < 40; ++t) lines.push_back(random_tree(rng));
    const TreeSetData data = data_of(lines);
    const TopologyTable table(data, shuffled_taxa(data, rng), GetParam(), ample, 3);
    int asked = 0;
    const InterruptCheck interrupt([&] {
        if (++asked == 2) throw std::runtime_error("stop");
    });
    EXPECT_THROW(table.count_block(1, interrupt), std::runtime_error);
    EXPECT_EQ(asked, 2);
    expect_rows_match_sweeps(data, table);
}

TEST_P(TableOfSize, ArgumentsAreChecked) {
    const TreeSetData data = data_of({"((t0,t1),(t2,t3),(t4,t5));"});
    const auto t = [](std::uint32_t k) { return TaxonId{k}; };
    EXPECT_NE(test::fatal_message_of([&] { TopologyTable(data, {t(0), t(1), t(2)}, 3, ample); }),
              "<no fatal error>");
    EXPECT_NE(test::fatal_message_of(
                  [&] { TopologyTable(data, {t(0), t(1), t(2), t(1), t(4)}, GetParam(), ample); }),
              "<no fatal error>");
    EXPECT_NE(test::fatal_message_of(
                  [&] { TopologyTable(data, {t(0), t(1), t(2), t(9), t(4)}, GetParam(), ample); }),
              "<no fatal error>");
    const TopologyTable empty(data, {t(0), t(1), t(2)}, GetParam(), ample);
    EXPECT_EQ(empty.row_count(), 0u);
    EXPECT_EQ(empty.block_count(), 0u);
}

// Blocks counted on several threads at once, each building the rows it needs, give the
// blocks of one thread.
TEST_P(TableOfSize, ThreadsSharingATableCountWhatOneThreadCounts) {
    std::mt19937_64 rng(12);
    std::vector<std::string> lines;
    for (int t = 0; t < 200; ++t) lines.push_back(random_tree(rng));
    const TreeSetData data = data_of(lines);
    const std::vector<TaxonId> taxa = shuffled_taxa(data, rng);
    const TopologyTable alone(data, taxa, GetParam(), ample, 4);
    const TopologyTable shared(data, taxa, GetParam(), ample, 4);
    OrderedBlocks<TableBlock> run(shared.block_count(), 4,
                                  [&](std::size_t b, const InterruptCheck& interrupt) {
                                      return shared.count_block(b, interrupt);
                                  });
    for (std::size_t b = 0; b < alone.block_count(); ++b) {
        std::optional<TableBlock> block;
        while (!(block = run.next(std::chrono::milliseconds(10)))) ASSERT_FALSE(run.finished());
        const TableBlock expected = alone.count_block(b);
        EXPECT_EQ(block->first_row, expected.first_row);
        EXPECT_EQ(block->taxa, expected.taxa);
        EXPECT_EQ(block->counts, expected.counts);
        EXPECT_EQ(block->holding, expected.holding);
    }
    EXPECT_FALSE(run.next(std::chrono::milliseconds(10)).has_value());
    EXPECT_TRUE(run.finished());
}

INSTANTIATE_TEST_SUITE_P(QuartetsAndQuintets, TableOfSize, testing::Values(4, 5));

// Each row holds, per tree, the depth of the pair's LCA, the sentinel where a taxon is
// missing, and the sentinel past the last tree; a group interrupted while built is built
// afresh later.
TEST(PairDepthRows, DepthsOfEveryPairInEveryTree) {
    std::mt19937_64 rng(21);
    std::vector<std::string> lines;
    for (int t = 0; t < 40001; ++t) lines.push_back(random_tree(rng));
    const TreeSetData data = data_of(lines);
    const std::vector<TaxonId> taxa = shuffled_taxa(data, rng);
    const PairDepthShape shape = PairDepthRows::shape_of(data, taxa);
    EXPECT_EQ(shape.padded_trees, 40064u);
    EXPECT_EQ(shape.depth_bytes, 1u);
    const PairDepthRows rows(data, taxa, shape);
    const InterruptCheck stop([] { throw std::runtime_error("stop"); });
    EXPECT_THROW(rows.build_group(0, stop), std::runtime_error);
    EXPECT_FALSE(rows.group_built(0));
    for (std::size_t i = 0; i + 1 < taxa.size(); ++i) {
        rows.build_group(i);
        for (std::size_t j = i + 1; j < taxa.size(); ++j) {
            const auto* row = reinterpret_cast<const std::uint8_t*>(rows.row(i, j));
            for (std::size_t t = 0; t < shape.padded_trees; ++t) {
                std::uint32_t expected = 255;
                if (t < data.tree_count()) {
                    const TreeLca& lca = data.lcas[t];
                    const EulerPos a = lca.taxon_position(taxa[i]), b = lca.taxon_position(taxa[j]);
                    if (!a.is_absent() && !b.is_absent())
                        expected = lca.depth_at(lca.lca_position(a, b));
                }
                ASSERT_EQ(row[t], expected) << i << ' ' << j << ' ' << t;
            }
        }
    }
    EXPECT_EQ(rows.bytes_held(), PairDepthRows::bytes_for(shape));
}

TEST(KernelWidth, PinningAndNames) {
    EXPECT_TRUE(kernel_width_supported(KernelWidth::baseline));
    EXPECT_EQ(current_kernel_width(), best_kernel_width());
    for (const KernelWidth width : supported_widths()) {
        const PinnedWidth pinned(width);
        EXPECT_EQ(current_kernel_width(), width);
        EXPECT_EQ(kernel_width_named(kernel_width_name(width)), width);
    }
    EXPECT_EQ(current_kernel_width(), best_kernel_width());
    EXPECT_EQ(kernel_width_named("sse"), std::nullopt);
}

// A published file: random rows of its quartet table and of a quintet table over some of its
// taxa, at every kernel width, against the sweeps.
TEST(TopologyTableRealData, RandomRowsMatchTheSweeps) {
    const auto path = std::filesystem::path(TREETALLY_SOURCE_DIR).parent_path() / "shared" /
                      "data" / "plants1kp-103taxa-852genes.tre";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no " << path;
    const TreeSetData data = load_tree_set_data(path.string());
    std::mt19937_64 rng(11);
    std::vector<TaxonId> taxa = shuffled_taxa(data, rng);
    for (const int size : {4, 5}) {
        if (size == 5) taxa.resize(14);
        std::vector<std::size_t> blocks;
        std::vector<std::size_t> rows;
        const TopologyTable sizing(data, taxa, size, ample);
        for (int k = 0; k < 3; ++k) {
            blocks.push_back(rng() % sizing.block_count());
            rows.push_back(rng());
        }
        for (const KernelWidth width : supported_widths()) {
            SCOPED_TRACE(std::string(kernel_width_name(width)));
            const PinnedWidth pinned(width);
            const TopologyTable table(data, taxa, size, ample);
            for (std::size_t k = 0; k < blocks.size(); ++k) {
                const TableBlock block = table.count_block(blocks[k]);
                const std::size_t r = rows[k] % block.rows;
                const auto slots = std::span(block.taxa).subspan(r * block.size, block.size);
                EXPECT_EQ(row_of(block, r), swept_row(data, taxa, slots));
            }
        }
    }
}

}  // namespace
}  // namespace treetally
