// What the fuzz harnesses do with whatever they loaded: index it, run queries chosen by the
// fuzz bytes, and check the answers against the trees themselves. Any surprise aborts.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "brute_force_tree.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "sets/single_tree_queries.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"

namespace treetally::fuzz {

[[noreturn]] inline void finding(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "FUZZ FINDING: %s %s\n", what, detail.c_str());
    std::abort();
}

inline void require(bool condition, const char* what) {
    if (!condition) finding(what);
}

// Reading trees may fail only with the unparsable-branch-length error; anything else is a bug.
inline void expect_reader_error(const FatalError& error) {
    if (error.message() != messages::invalid_float)
        finding("unexpected fatal error:", error.message());
}

// Quartet codes after exchanging slots 0 and 1: 01|23 stays, 02|13 and 03|12 trade places.
inline std::optional<std::uint8_t> code_after_swapping_first_two(std::optional<std::uint8_t> code) {
    if (!code || *code == 0) return code;
    return static_cast<std::uint8_t>(3 - *code);
}

// Picks `N` positions of taxa present in the tree, or false when it has none.
template <std::size_t N>
bool pick_present(FuzzedDataProvider& bytes, const std::vector<EulerPos>& present,
                  std::array<EulerPos, N>& picked) {
    if (present.empty()) return false;
    for (auto& position : picked)
        position = present[bytes.ConsumeIntegralInRange<std::size_t>(0, present.size() - 1)];
    return true;
}

// Checks the index of one tree against the tree's own links for a few fuzz-chosen leaves,
// then classifies quartets and quintets of present taxa directly.
inline void check_one_tree(const Tree& tree, const TreeLca& lca, FuzzedDataProvider& bytes) {
    std::vector<EulerPos> present;
    for (const std::uint32_t position : lca.taxon_positions()) {
        if (position != 0) present.push_back(EulerPos{position});
    }
    // A label may sit on a node that gains children later, as in (A(B,C)), so a present
    // taxon is not always a leaf; it is always a node of the tour, inside the table.
    for (const EulerPos p : present) {
        require(p.index() < lca.column_count(), "taxon position outside the table");
        require(tree.taxon_of(lca.node_at(p)).has_value(), "taxon position names no taxon");
    }

    const test::BruteForceTree truth(tree);
    const int rounds = bytes.ConsumeIntegralInRange(0, 8);
    for (int round = 0; round < rounds && bytes.remaining_bytes() > 0; ++round) {
        std::array<EulerPos, 5> five;
        if (!pick_present(bytes, present, five)) return;
        const EulerPos a = five[0];
        const EulerPos b = five[1];
        const EulerPos ab = lca.lca_position(a, b);
        require(ab == lca.lca_position(b, a), "lca_position is not symmetric");
        require(lca.lca_position(a, a) == a, "lca_position(p, p) != p");
        const std::size_t expected = truth.lca(lca.node_at(a).index(), lca.node_at(b).index());
        require(lca.node_at(ab).index() == expected, "lca disagrees with parent links");
        require(lca.depth_at(ab) == truth.depth(expected), "depth disagrees");
        require(path_distance(lca, a, b) == path_distance(lca, b, a) ||
                    std::isnan(path_distance(lca, a, b)),
                "path_distance is not symmetric");

        const FourPositions four{five[0], five[1], five[2], five[3]};
        const auto quartet = quartet_type(lca, four);
        require(!quartet || *quartet < quartet_type_count, "quartet code out of range");
        const bool distinct4 = std::adjacent_find(four.begin(), four.end()) == four.end() &&
                               four[0] != four[2] && four[0] != four[3] && four[1] != four[3];
        if (distinct4) {
            const FourPositions swapped{five[1], five[0], five[2], five[3]};
            require(quartet_type(lca, swapped) == code_after_swapping_first_two(quartet),
                    "quartet type depends on slot order");
        }
        const auto quintet = quintet_type(lca, five);
        require(!quintet || *quintet < quintet_type_count, "quintet code out of range");
        (void)pairwise_distances(lca, five);
    }
}

// Runs name-based queries (single trees and sweeps) on names picked from the taxon set, plus
// a few names that are not there.
inline void run_named_queries(const TreeSetData& data, FuzzedDataProvider& bytes) {
    const auto& names = data.taxon_set.taxon_names();
    // Longer than every taxon name, so surely not one of them (the fuzzer learns constants).
    std::size_t longest = 0;
    for (const auto& name : names) longest = std::max(longest, name.size());
    const std::string absent(longest + 1, '\x01');
    const int rounds = bytes.ConsumeIntegralInRange(0, 6);
    for (int round = 0; round < rounds && bytes.remaining_bytes() > 0; ++round) {
        std::array<std::string_view, 5> five;
        std::array<bool, 5> unknown{};
        for (std::size_t slot = 0; slot < five.size(); ++slot) {
            std::string_view& name = five[slot];
            if (names.empty() || bytes.ConsumeIntegralInRange(0, 15) == 0) {
                name = absent;
                unknown[slot] = true;
            } else {
                name = names[bytes.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1)];
            }
        }
        const QuartetNames four{five[0], five[1], five[2], five[3]};
        const std::uint64_t tree_id =
            data.tree_count() == 0
                ? 0
                : bytes.ConsumeIntegralInRange<std::uint64_t>(0, data.tree_count() - 1);
        const int query = bytes.ConsumeIntegralInRange(0, 5);
        // Quartet queries read only the first four names.
        const bool uses_fifth = query != 1 && query != 4;
        const bool has_unknown =
            unknown[0] || unknown[1] || unknown[2] || unknown[3] || (uses_fifth && unknown[4]);
        try {
            switch (query) {
                case 0:
                    if (data.tree_count() > 0) (void)tree_quintet_type(data, tree_id, five);
                    break;
                case 1:
                    if (data.tree_count() > 0) (void)tree_quartet_type(data, tree_id, four);
                    break;
                case 2:
                    if (data.tree_count() > 0) (void)tree_pairwise_distances(data, tree_id, five);
                    break;
                case 3: {
                    const auto tally = tally_single_quintet(data, five);
                    std::uint64_t total = 0;
                    for (auto count : tally) total += count;
                    require(total <= data.tree_count(), "quintet tally exceeds the trees");
                    break;
                }
                case 4:
                    (void)tally_single_quartet(data, four);
                    break;
                default:
                    (void)coalescence_times_by_topology(data, five);
                    break;
            }
            const bool skipped = query <= 2 && data.tree_count() == 0;
            require(!has_unknown || skipped, "unknown name answered without an error");
        } catch (const FatalError& error) {
            if (!has_unknown || error.message() != messages::taxon_not_found)
                finding("unexpected fatal error in a query:", error.message());
        }
    }
}

// Indexes the collection and runs everything above on it.
inline void index_and_query(TreeCollection collection, FuzzedDataProvider& bytes) {
    // The set keeps no trees; the copies are what its indexes are checked against.
    const std::vector<Tree> trees = collection.trees;
    const TreeSetData data = index_tree_collection(std::move(collection));
    require(data.lcas.size() == trees.size(), "one index per tree");
    for (const TreeLca& lca : data.lcas) {
        require(lca.taxon_count() == data.taxon_set.size(), "index covers all taxa");
    }
    if (data.tree_count() > 0) {
        const std::size_t checked =
            std::min<std::size_t>(data.tree_count(), bytes.ConsumeIntegralInRange(1, 4));
        for (std::size_t k = 0; k < checked; ++k) {
            const std::size_t id =
                bytes.ConsumeIntegralInRange<std::size_t>(0, data.tree_count() - 1);
            check_one_tree(trees[id], data.lcas[id], bytes);
        }
    }
    run_named_queries(data, bytes);
}

}  // namespace treetally::fuzz
