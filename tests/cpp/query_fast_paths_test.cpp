// The fast paths that loading and the sweeps take must agree with the plain ones: unchecked
// LCA reads after one bounds test, LCAs reused for distances, the deepest-pair scan that
// reads only the deepest records' nodes, the exact conversion of short branch lengths, and
// the index's single block surviving copies and moves.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "lca/deepest_pair.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "lca/tree_lca.hpp"
#include "test_support.hpp"
#include "tree/newick_reader.hpp"
#include "tree/taxon_set.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::out_of_bounds_message;
using test::parse;

// Random trees over taxa t0..t7 with polytomies, unary nodes, lengths and missing taxa.
std::string random_newick(std::mt19937_64& rng) {
    std::vector<std::string> parts;
    const int leaves = 2 + static_cast<int>(rng() % 7);
    for (int k = 0; k < leaves; ++k) {
        std::string leaf = "t";
        leaf.append(std::to_string(rng() % 8)).append(":").append(std::to_string(rng() % 100));
        parts.push_back(leaf.append(".5"));
    }
    while (parts.size() > 1) {
        const std::size_t width = std::min<std::size_t>(parts.size(), 2 + rng() % 3);
        const std::size_t at = rng() % (parts.size() - width + 1);
        std::string group = "(";
        for (std::size_t k = 0; k < width; ++k) group.append(k ? "," : "").append(parts[at + k]);
        group += rng() % 4 == 0 ? "):0" : "):0.25";
        if (rng() % 5 == 0) group = std::string("(").append(group).append("):1");  // unary above
        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(at),
                    parts.begin() + static_cast<std::ptrdiff_t>(at + width));
        parts.insert(parts.begin() + static_cast<std::ptrdiff_t>(at), group);
    }
    return parts[0] + ";";
}

FivePositions random_positions(const TreeLca& index, std::mt19937_64& rng) {
    FivePositions positions;
    for (EulerPos& p : positions) {
        p = EulerPos{static_cast<std::uint32_t>(rng() % index.column_count())};
    }
    return positions;
}

TEST(QueryFastPaths, ReusedLcasGiveTheSameDistancesAndTypes) {
    std::mt19937_64 rng(17);
    for (int round = 0; round < 400; ++round) {
        const auto parsed = parse(random_newick(rng));
        const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
        const FivePositions positions = random_positions(index, rng);
        PairDistances reused{};
        const auto code = quintet_type_with_distances(index, positions, reused);
        EXPECT_EQ(code, quintet_type(index, positions));
        for (std::size_t i = 0; i < 5; ++i) {
            for (std::size_t j = i + 1; j < 5; ++j) {
                const EulerPos lca = index.lca_position(positions[i], positions[j]);
                const TreeLca::Visit visit = index.lca_visit_in_range(positions[i], positions[j]);
                EXPECT_EQ(visit.position, lca);
                EXPECT_EQ(visit.depth, index.depth_at(lca));
            }
        }
        if (!code) continue;  // the distances are only measured for a classified quintet
        const PairDistances plain = pairwise_distances(index, positions);
        std::size_t pair = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            for (std::size_t j = i + 1; j < 5; ++j, ++pair) {
                // Bit for bit: the same grouping of the same reads.
                EXPECT_EQ(reused[pair], path_distance(index, positions[i], positions[j]));
                EXPECT_EQ(plain[pair], reused[pair]);
            }
        }
    }
}

// The deepest-pair search as first described: a running tally of LCA nodes, reset at each
// strictly deeper record; unresolved when any node is counted twice.
std::optional<PairLca> running_tally_deepest_pair(const TreeLca& index,
                                                  std::span<const PairLca> records) {
    PairLca best = records[0];
    std::vector<std::pair<NodeId, int>> tally{{index.node_at(best.lca_pos), 1}};
    for (const PairLca& record : records.subspan(1)) {
        if (record.depth > best.depth) {
            best = record;
            tally.assign({{index.node_at(record.lca_pos), 1}});
        } else if (record.depth == best.depth) {
            const NodeId node = index.node_at(record.lca_pos);
            auto counted = std::find_if(tally.begin(), tally.end(),
                                        [&](const auto& entry) { return entry.first == node; });
            if (counted == tally.end()) {
                tally.emplace_back(node, 1);
            } else {
                ++counted->second;
            }
        }
    }
    for (const auto& entry : tally) {
        if (entry.second >= 2) return std::nullopt;
    }
    return best;
}

TEST(QueryFastPaths, DeepestPairScanMatchesTheRunningTally) {
    std::mt19937_64 rng(29);
    for (int round = 0; round < 400; ++round) {
        const auto parsed = parse(random_newick(rng));
        const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
        const FivePositions positions = random_positions(index, rng);
        std::array<PairLca, 13> records;
        std::size_t count = 0;
        for (std::uint8_t i = 0; i < 5; ++i) {
            for (auto j = static_cast<std::uint8_t>(i + 1); j < 5; ++j)
                records[count++] = pair_lca_in_range(index, positions[i], positions[j], i, j);
        }
        for (std::size_t used = 1; used <= count; ++used) {
            const auto fast = deepest_pair(index, std::span(records.data(), used));
            const auto plain = running_tally_deepest_pair(index, std::span(records.data(), used));
            ASSERT_EQ(fast.has_value(), plain.has_value());
            if (fast) {
                EXPECT_EQ(fast->lca_pos, plain->lca_pos);
                EXPECT_EQ(fast->first, plain->first);
                EXPECT_EQ(fast->second, plain->second);
            }
        }
    }
}

// An out-of-range position is still refused, with the error the first pair read would give.
TEST(QueryFastPaths, OutOfRangePositionsAreRefusedOnce) {
    const auto parsed = parse("((A,B),(C,D),E);");
    const TreeLca index = TreeLca::build(parsed.tree, parsed.taxa.size());
    const auto columns = static_cast<std::uint32_t>(index.column_count());
    struct Case {
        FivePositions positions;
        std::size_t reported;
    };
    const std::vector<Case> cases = {
        {{EulerPos{columns}, EulerPos{1}, EulerPos{2}, EulerPos{3}, EulerPos{4}}, columns},
        {{EulerPos{1}, EulerPos{2}, EulerPos{3}, EulerPos{4}, EulerPos{columns + 7}}, columns + 7},
        {{EulerPos{columns + 2}, EulerPos{columns + 9}, EulerPos{1}, EulerPos{2}, EulerPos{3}},
         columns + 9},
    };
    for (const Case& c : cases) {
        const std::string expected = out_of_bounds_message(columns, c.reported);
        EXPECT_EQ(fatal_message_of([&] { (void)quintet_type(index, c.positions); }), expected);
        EXPECT_EQ(fatal_message_of([&] { (void)pairwise_distances(index, c.positions); }),
                  expected);
        FourPositions four{c.positions[0], c.positions[1], c.positions[2], c.positions[4]};
        EXPECT_NE(fatal_message_of([&] { (void)quartet_type(index, four); }), "<no fatal error>");
        EXPECT_FALSE(index.positions_in_range(c.positions));
    }
}

TEST(QueryFastPaths, IndexBlockSurvivesCopiesAndMoves) {
    const auto parsed = parse("((A:1,B:2):3,C:4,(D:0.5,E:1.5):2);");
    const TreeLca original = TreeLca::build(parsed.tree, parsed.taxa.size());
    auto same_arrays = [](const TreeLca& a, const TreeLca& b) {
        return std::ranges::equal(a.taxon_positions(), b.taxon_positions()) &&
               std::ranges::equal(a.euler_nodes(), b.euler_nodes()) &&
               std::ranges::equal(a.euler_depths(), b.euler_depths()) &&
               std::ranges::equal(a.euler_distances(), b.euler_distances()) &&
               a.heap_bytes() == b.heap_bytes();
    };
    TreeLca copy = original;
    EXPECT_TRUE(same_arrays(copy, original));
    const TreeLca& alias = copy;
    copy = alias;  // self-assignment keeps the block
    EXPECT_TRUE(same_arrays(copy, original));
    TreeLca moved = std::move(copy);
    EXPECT_TRUE(same_arrays(moved, original));
    EXPECT_EQ(copy.tour_length(), 0u);  // NOLINT(bugprone-use-after-move): the moved-from state
    EXPECT_EQ(copy.heap_bytes(), 0u);   // NOLINT(bugprone-use-after-move)
    const std::array<TaxonId, 2> taxa{TaxonId{0}, TaxonId{99}};
    copy.prefetch_for_query(taxa, true);  // an empty index asks for nothing
    moved.prefetch_for_query(taxa, true);
    EXPECT_EQ(moved.lca_position(EulerPos{2}, EulerPos{4}), EulerPos{3});
}

// Short decimals take an exact path of their own; it must give from_chars's bits.
TEST(QueryFastPaths, ShortDecimalsConvertLikeFromChars) {
    std::mt19937_64 rng(41);
    const char digits[] = "0123456789";
    for (int round = 0; round < 200000; ++round) {
        std::string text(rng() % 4, '0');
        const std::size_t integer_digits = rng() % 10;
        for (std::size_t k = 0; k < integer_digits; ++k) text += digits[rng() % 10];
        if (rng() % 4 != 0) {
            text += '.';
            const std::size_t fraction_digits = rng() % 22;
            for (std::size_t k = 0; k < fraction_digits; ++k) text += digits[rng() % 10];
        }
        if (rng() % 5 == 0) text.append(rng() % 2 ? "e-" : "E").append(std::to_string(rng() % 30));
        if (text.empty() || text == "." || text.front() == 'e' || text.front() == 'E') continue;
        if (text.find_first_of(digits) == std::string::npos) continue;
        double expected = 0.0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), expected,
                                                  std::chars_format::general);
        if (error != std::errc{} || end != text.data() + text.size()) continue;
        const auto value = parse_branch_length(text);
        ASSERT_TRUE(value.has_value()) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*value), std::bit_cast<std::uint64_t>(expected))
            << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(*parse_branch_length(std::string("-").append(text))),
                  std::bit_cast<std::uint64_t>(-expected))
            << text;
    }
}

// The reader sizes its arrays from the brackets and commas before the first ";"; brackets in
// labels and comments, and a ";" inside a comment, must not change the tree or leave spare room.
TEST(QueryFastPaths, ReservedNodeArraysEndExact) {
    const std::vector<std::string> texts = {
        "((A,B),C);", "(A[(,(,(],B);",  "(A(x,B);", "(A,B)[;](C,(D,E));", "(A,B);(C,(D,E));",
        "",           "((((((A))))));",
    };
    for (const std::string& text : texts) {
        const auto parsed = parse(text);
        const std::size_t per_node = 5 * sizeof(std::int32_t) + sizeof(double);
        EXPECT_EQ(parsed.tree.heap_bytes(), parsed.tree.node_count() * per_node) << text;
    }
    EXPECT_EQ(parse("(A[(,(,(],B);").tree.node_count(), 3u);
    EXPECT_EQ(parse("(A,B)[;](C,(D,E));").tree.node_count(), 7u);
}

// The name table grows by rehashing; names that share long prefixes and suffixes, differ only
// in length or in one middle byte, must all keep their ids.
TEST(QueryFastPaths, NameTableKeepsIdsThroughGrowth) {
    std::vector<std::string> names;
    for (int k = 0; k < 5000; ++k) {
        std::string name = "GCA_000000000.1_sample_";
        name.append(std::to_string(k)).append("_ABCDEFGHIJ");
        names.push_back(name);
    }
    names.push_back("");
    names.push_back(std::string(1, '\0'));
    names.push_back(std::string(2, '\0'));
    TaxonSet taxa;
    for (std::size_t k = 0; k < names.size(); ++k) {
        ASSERT_EQ(taxa.insert_or_get(names[k]).index(), k) << names[k];
    }
    for (std::size_t k = 0; k < names.size(); ++k) {
        EXPECT_EQ(taxa.insert_or_get(names[k]).index(), k);
        EXPECT_EQ(taxa.id_of(names[k]).index(), k);
    }
    EXPECT_EQ(taxa.size(), names.size());
    EXPECT_EQ(fatal_message_of([&] { taxa.id_of("GCA_000000000.1_sample_5000_ABCDEFGHIJ"); }),
              "Taxon not found");
    EXPECT_EQ(fatal_message_of([&] { taxa.id_of(std::string(3, '\0')); }), "Taxon not found");
}

}  // namespace
}  // namespace treetally
