// Randomised check of the reader, the LCA index, the classifiers, the distances and the
// sweeps against independent brute-force answers computed from a generated model of each
// tree and from the parsed tree's parent array.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "brute_force_tree.hpp"
#include "lca/pair_distances.hpp"
#include "lca/quartet_type.hpp"
#include "lca/quintet_type.hpp"
#include "sets/tree_set_load.hpp"
#include "sets/tree_set_sweeps.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using Rng = std::mt19937_64;

int uniform(Rng& rng, int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}
bool chance(Rng& rng, double p) {
    return std::bernoulli_distribution(p)(rng);
}

// A generated tree: child lists over model node ids, the leaf labels and the length texts.
// Node ids need not be in preorder; writing the tree out gives its preorder.
struct ModelTree {
    std::vector<std::vector<int>> children;
    std::vector<std::string> label;        // taxon name of a leaf; empty = unlabelled
    std::vector<std::string> length_text;  // text after ':'; empty = no length written

    int add_node() {
        children.emplace_back();
        label.emplace_back();
        length_text.emplace_back();
        return static_cast<int>(children.size()) - 1;
    }
};

// Random attachment on the rightmost path: many unary chains and wide polytomies.
ModelTree attached_tree(Rng& rng) {
    ModelTree model;
    model.add_node();
    const int nodes = uniform(rng, 1, 45);
    std::vector<int> path{0};
    for (int i = 1; i < nodes; ++i) {
        const std::size_t keep =
            chance(rng, 0.45)
                ? path.size()
                : static_cast<std::size_t>(uniform(rng, 1, static_cast<int>(path.size())));
        path.resize(keep);
        const int node = model.add_node();
        model.children[path.back()].push_back(node);
        path.push_back(node);
    }
    return model;
}

// A random binary tree with a few edges contracted (polytomies) and a few subdivided
// (unary nodes).
ModelTree binary_tree(Rng& rng) {
    ModelTree model;
    model.add_node();
    std::vector<int> parent{-1};
    std::vector<int> leaves{0};
    const int splits = uniform(rng, 1, 22);
    for (int s = 0; s < splits; ++s) {
        const std::size_t pick =
            static_cast<std::size_t>(uniform(rng, 0, static_cast<int>(leaves.size()) - 1));
        const int leaf = leaves[pick];
        leaves.erase(leaves.begin() + static_cast<std::ptrdiff_t>(pick));
        for (int c = 0; c < 2; ++c) {
            const int child = model.add_node();
            parent.push_back(leaf);
            model.children[leaf].push_back(child);
            leaves.push_back(child);
        }
    }
    const int count = static_cast<int>(model.children.size());
    for (int v = 1; v < count; ++v) {
        if (model.children[v].empty() || !chance(rng, 0.15)) continue;
        auto& siblings = model.children[parent[v]];
        auto at = std::find(siblings.begin(), siblings.end(), v);
        const std::vector<int> moved = model.children[v];
        at = siblings.erase(at);
        siblings.insert(at, moved.begin(), moved.end());
        for (int c : moved) parent[c] = parent[v];
        model.children[v].clear();
        parent[v] = -2;  // detached
    }
    for (int v = 1; v < count; ++v) {
        if (parent[v] < 0 || !chance(rng, 0.1)) continue;
        const int unary = model.add_node();
        parent.push_back(parent[v]);
        auto& siblings = model.children[parent[v]];
        *std::find(siblings.begin(), siblings.end(), v) = unary;
        model.children[unary].push_back(v);
        parent[v] = unary;
    }
    return model;
}

std::string length_text(Rng& rng) {
    char buffer[64];
    switch (uniform(rng, 0, 4)) {
        case 0:
            return "0";
        case 1:
            return std::to_string(uniform(rng, 1, 20));
        case 2:
            std::snprintf(buffer, sizeof buffer, "%.3e",
                          std::uniform_real_distribution<double>(1e-6, 1e-2)(rng));
            return buffer;
        default:
            std::snprintf(buffer, sizeof buffer, "%.17g",
                          std::uniform_real_distribution<double>(0.0, 5.0)(rng));
            return buffer;
    }
}

// Gives leaves names from `pool` (repeats allowed, a few left unlabelled) and edges lengths.
void decorate(ModelTree& model, const std::vector<std::string>& pool, Rng& rng) {
    const bool distinct = chance(rng, 0.6);
    std::vector<std::string> shuffled = pool;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    std::size_t next_distinct = 0;
    for (std::size_t v = 0; v < model.children.size(); ++v) {
        if (!model.children[v].empty()) continue;
        if (chance(rng, 0.04)) continue;
        if (distinct && next_distinct < shuffled.size())
            model.label[v] = shuffled[next_distinct++];
        else
            model.label[v] =
                pool[static_cast<std::size_t>(uniform(rng, 0, static_cast<int>(pool.size()) - 1))];
    }
    for (std::size_t v = 0; v < model.children.size(); ++v)
        if (chance(rng, v == 0 ? 0.2 : 0.75)) model.length_text[v] = length_text(rng);
}

std::string maybe_comment(Rng& rng) {
    return chance(rng, 0.05) ? "[&c=1,[n]]" : "";
}

// Writes the tree as one line of Newick text and returns the model ids in preorder.
std::vector<int> write_newick(const ModelTree& model, Rng& rng, std::string& text) {
    static const std::vector<std::string> supports = {"100", "/0.99", "0.5", "x y"};
    std::vector<int> preorder;
    struct Frame {
        int node;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto enter = [&](int node) {
        preorder.push_back(node);
        if (chance(rng, 0.1)) text += ' ';
        if (!model.children[node].empty()) text += '(';
        stack.push_back({node, 0});
    };
    enter(0);
    while (!stack.empty()) {
        Frame& frame = stack.back();
        const auto& kids = model.children[frame.node];
        if (frame.next < kids.size()) {
            if (frame.next > 0) text += ',';
            const int child = kids[frame.next++];
            enter(child);
            continue;
        }
        const int node = frame.node;
        stack.pop_back();
        if (kids.empty()) {
            text += model.label[node];
        } else {
            text += ')';
            if (chance(rng, 0.3)) text += supports[static_cast<std::size_t>(uniform(rng, 0, 3))];
        }
        text += maybe_comment(rng);
        if (!model.length_text[node].empty()) text += ':' + model.length_text[node];
        text += maybe_comment(rng);
    }
    if (chance(rng, 0.85)) {
        text += ';';
        if (chance(rng, 0.1)) text += "(zz_after,zz_semicolon);";
    }
    return preorder;
}

// N random distinct present taxa, as their positions in the index and their leaves in the
// tree; false when the tree holds fewer than N.
template <std::size_t N>
bool pick_present(const TreeLca& index, const std::vector<std::optional<std::size_t>>& leaves,
                  Rng& rng, std::array<EulerPos, N>& positions, std::vector<std::size_t>& nodes) {
    std::vector<std::uint32_t> present;
    for (std::uint32_t t = 0; t < leaves.size(); ++t)
        if (leaves[t]) present.push_back(t);
    if (present.size() < N) return false;
    std::shuffle(present.begin(), present.end(), rng);
    nodes.clear();
    for (std::size_t k = 0; k < N; ++k) {
        positions[k] = index.taxon_position(TaxonId{present[k]});
        nodes.push_back(*leaves[present[k]]);
    }
    return true;
}

// Checks that the parsed tree is the model: same preorder links, taxa and lengths.
void expect_tree_matches_model(const Tree& tree, const TaxonSet& taxa, const ModelTree& model,
                               const std::vector<int>& preorder, const std::string& text) {
    ASSERT_EQ(tree.node_count(), preorder.size()) << text;
    std::map<int, std::int32_t> id_of_model;
    for (std::size_t i = 0; i < preorder.size(); ++i)
        id_of_model[preorder[i]] = static_cast<std::int32_t>(i);
    for (std::size_t i = 0; i < preorder.size(); ++i) {
        const int m = preorder[i];
        const NodeId node{static_cast<std::int32_t>(i)};
        std::vector<std::int32_t> expected_children, children;
        for (int c : model.children[m]) {
            expected_children.push_back(id_of_model.at(c));
            ASSERT_EQ(tree.parent(NodeId{id_of_model.at(c)}), node) << text;
        }
        for (NodeId c : tree.children(node)) children.push_back(c.value);
        ASSERT_EQ(children, expected_children) << text;
        ASSERT_EQ(tree.child_count(node), static_cast<std::int32_t>(expected_children.size()));
        ASSERT_EQ(test::label_of(tree, taxa, node), model.label[m]) << text;
        const std::string& length = model.length_text[m];
        const double expected_length =
            length.empty() ? (i == 0 ? -1.0 : 0.0) : std::strtod(length.c_str(), nullptr);
        ASSERT_EQ(tree.branch_length(node), expected_length) << text;
    }
    ASSERT_EQ(tree.parent(NodeId::root()), NodeId::root());
    ASSERT_EQ(tree.root_is_bifurcating(), model.children[0].size() == 2);
}

void expect_index_matches_tree(const TreeLca& index, const test::BruteForceTree& facts, Rng& rng,
                               const std::string& text) {
    const Tree& tree = facts.tree();
    ASSERT_EQ(index.tour_length(), 2 * tree.node_count()) << text;
    ASSERT_EQ(index.column_count(), 2 * tree.unrooted_node_count()) << text;
    const auto leaves = facts.taxon_leaves(index.taxon_count());
    for (std::uint32_t t = 0; t < leaves.size(); ++t) {
        const EulerPos p = index.taxon_position(TaxonId{t});
        if (!leaves[t]) {
            ASSERT_TRUE(p.is_absent()) << text << " taxon " << t;
            continue;
        }
        ASSERT_EQ(index.node_at(p).index(), *leaves[t]) << text << " taxon " << t;
        ASSERT_EQ(index.depth_at(p), facts.depth(*leaves[t]));
        ASSERT_EQ(index.distance_at(p), facts.distance(*leaves[t]));
    }
    const auto columns = static_cast<int>(index.column_count());
    for (int round = 0; round < 40; ++round) {
        const EulerPos a{static_cast<std::uint32_t>(uniform(rng, 0, columns - 1))};
        const EulerPos b{static_cast<std::uint32_t>(uniform(rng, 0, columns - 1))};
        const EulerPos l = index.lca_position(a, b);
        ASSERT_LT(l.index(), index.column_count());
        const std::size_t expected = facts.lca(index.node_at(a).index(), index.node_at(b).index());
        ASSERT_EQ(index.node_at(l).index(), expected)
            << text << " positions " << a.value << ", " << b.value;
        ASSERT_EQ(index.depth_at(l), facts.depth(expected));
        ASSERT_EQ(index.distance_at(l), facts.distance(expected));
        ASSERT_EQ(index.lca_position(b, a).value, l.value);
        // The answer lies between the two positions.
        ASSERT_GE(l.value, std::min(a.value, b.value));
        ASSERT_LE(l.value, std::max(a.value, b.value));
    }
}

// How many of each kind of case the generator produced, so that a change to it cannot
// quietly stop exercising one of them.
struct Coverage {
    int trees = 0;
    int trees_with_repeated_taxa = 0;
    int trees_with_unary_nodes = 0;
    int resolved_quartets = 0;
    int unresolved_quartets = 0;
    int resolved_quintets = 0;
    int unresolved_quintets = 0;
};

void count_shape(const Tree& tree, Coverage& coverage) {
    std::set<std::int32_t> seen;
    bool repeated = false;
    for (std::int32_t taxon : tree.node_taxons())
        if (taxon >= 0 && !seen.insert(taxon).second) repeated = true;
    coverage.trees_with_repeated_taxa += repeated;
    coverage.trees_with_unary_nodes += std::ranges::count(tree.child_counts(), 1) > 0 ? 1 : 0;
    ++coverage.trees;
}

void expect_topologies_match(const TreeLca& index, const test::BruteForceTree& facts, Rng& rng,
                             const std::string& text, Coverage& coverage) {
    const auto leaves = facts.taxon_leaves(index.taxon_count());
    for (int round = 0; round < 12; ++round) {
        FourPositions four;
        std::vector<std::size_t> nodes;
        if (pick_present(index, leaves, rng, four, nodes)) {
            const auto expected = facts.quartet_code(nodes);
            ASSERT_EQ(quartet_type(index, four), expected) << text;
            ++(expected ? coverage.resolved_quartets : coverage.unresolved_quartets);
        }
        FivePositions positions;
        if (pick_present(index, leaves, rng, positions, nodes)) {
            const auto expected = facts.quintet_code(nodes);
            ASSERT_EQ(quintet_type(index, positions), expected) << text;
            ++(expected ? coverage.resolved_quintets : coverage.unresolved_quintets);

            // Distances: exactly the root-distance formula evaluated in the documented
            // grouping, and within rounding of the edge-by-edge path sum.
            const PairDistances distances = pairwise_distances(index, positions);
            std::size_t p = 0;
            for (std::size_t i = 0; i < 5; ++i) {
                for (std::size_t j = i + 1; j < 5; ++j, ++p) {
                    const std::size_t top = facts.lca(nodes[i], nodes[j]);
                    const double formula = (facts.distance(nodes[i]) + facts.distance(nodes[j])) -
                                           2 * facts.distance(top);
                    ASSERT_EQ(distances[p], formula) << text;
                    const double scale = facts.distance(nodes[i]) + facts.distance(nodes[j]);
                    ASSERT_NEAR(distances[p], facts.path_sum(nodes[i], nodes[j]),
                                1e-12 * (1.0 + scale))
                        << text;
                }
            }
        }
    }
}

// The three sweeps against per-tree brute force over the same collection.
void expect_sweeps_match(const TreeSetData& data, const std::vector<Tree>& trees, Rng& rng) {
    const auto& names = data.taxon_set.taxon_names();
    if (names.size() < 5) return;
    std::vector<test::BruteForceTree> facts;
    for (const Tree& tree : trees) facts.emplace_back(tree);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::uint32_t> ids(names.size());
        for (std::uint32_t t = 0; t < ids.size(); ++t) ids[t] = t;
        std::shuffle(ids.begin(), ids.end(), rng);
        QuintetNames five;
        for (std::size_t k = 0; k < 5; ++k) five[k] = names[ids[k]];
        const QuartetNames four = {five[0], five[1], five[2], five[3]};

        QuintetTally quintets{};
        QuartetTally quartets{};
        TimeTable times{};
        for (std::size_t i = 0; i < facts.size(); ++i) {
            const auto leaves = facts[i].taxon_leaves(names.size());
            std::vector<std::size_t> nodes;
            for (std::size_t k = 0; k < 5; ++k)
                if (leaves[ids[k]]) nodes.push_back(*leaves[ids[k]]);
            if (nodes.size() >= 4 && leaves[ids[0]] && leaves[ids[1]] && leaves[ids[2]] &&
                leaves[ids[3]]) {
                const std::vector<std::size_t> first_four(nodes.begin(), nodes.begin() + 4);
                if (auto code = facts[i].quartet_code(first_four)) ++quartets[*code];
            }
            if (nodes.size() < 5) continue;
            const auto code = facts[i].quintet_code(nodes);
            if (!code) continue;
            ++quintets[*code];
            times[*code] += 1.0;
            std::size_t p = 0;
            for (std::size_t a = 0; a < 5; ++a)
                for (std::size_t b = a + 1; b < 5; ++b, ++p)
                    times[15 + 10 * *code + p] +=
                        (facts[i].distance(nodes[a]) + facts[i].distance(nodes[b])) -
                        2 * facts[i].distance(facts[i].lca(nodes[a], nodes[b]));
        }
        double share_sum = 0.0;
        for (std::size_t t = 0; t < 15; ++t) share_sum += times[t];
        if (share_sum > 0)
            for (std::size_t t = 0; t < 15; ++t) times[t] /= share_sum;
        for (std::size_t t = 0; t < 15; ++t) {
            double block = 0.0;
            for (std::size_t p = 0; p < 10; ++p) block += times[15 + 10 * t + p];
            if (block > 0)
                for (std::size_t p = 0; p < 10; ++p) times[15 + 10 * t + p] /= block;
        }
        ASSERT_EQ(tally_single_quintet(data, five), quintets);
        ASSERT_EQ(tally_single_quartet(data, four), quartets);
        const TimeTable got = coalescence_times_by_topology(data, five);
        for (std::size_t i = 0; i < got.size(); ++i) ASSERT_DOUBLE_EQ(got[i], times[i]) << i;
    }
}

std::vector<std::string> taxon_pool(Rng& rng) {
    // Mostly plain names; some with inner spaces, quotes or non-ASCII bytes.
    const int size = uniform(rng, 4, 14);
    std::vector<std::string> pool;
    for (int i = 0; i < size; ++i) {
        switch (uniform(rng, 0, 7)) {
            case 0:
                pool.push_back(std::string("sp ").append(std::to_string(i)));
                break;
            case 1:
                pool.push_back(std::string("'q").append(std::to_string(i)).append("'"));
                break;
            case 2:
                pool.push_back(std::string("\xC3\xA9t\xC3\xA9").append(std::to_string(i)));
                break;
            default:
                pool.push_back(std::string("t").append(std::to_string(i)));
        }
    }
    return pool;
}

TEST(RandomTrees, ReaderIndexClassifiersAndSweepsAgreeWithBruteForce) {
    Rng rng(0x7ee7a11e);
    Coverage coverage;
    for (int collection_round = 0; collection_round < 300; ++collection_round) {
        const std::vector<std::string> pool = taxon_pool(rng);
        std::vector<ModelTree> models;
        std::vector<std::vector<int>> preorders;
        std::vector<std::string> lines;
        TreeCollection collection;
        const int tree_count = uniform(rng, 1, 25);
        for (int i = 0; i < tree_count; ++i) {
            ModelTree model = chance(rng, 0.5) ? binary_tree(rng) : attached_tree(rng);
            decorate(model, pool, rng);
            std::string text;
            preorders.push_back(write_newick(model, rng, text));
            collection.trees.push_back(parse_newick_tree(text, collection.taxon_set));
            models.push_back(std::move(model));
            lines.push_back(std::move(text));
        }
        // Taxa in order of first appearance; nothing after a ';' was read.
        std::vector<std::string> expected_names;
        for (std::size_t i = 0; i < models.size(); ++i)
            for (int m : preorders[i])
                if (!models[i].label[m].empty() &&
                    std::find(expected_names.begin(), expected_names.end(), models[i].label[m]) ==
                        expected_names.end())
                    expected_names.push_back(models[i].label[m]);
        ASSERT_EQ(collection.taxon_set.taxon_names(), expected_names);

        // The set keeps no trees; the copies are what its indexes are checked against.
        const std::vector<Tree> trees = collection.trees;
        const TreeSetData data = index_tree_collection(std::move(collection));
        ASSERT_EQ(data.tree_count(), models.size());
        for (std::size_t i = 0; i < models.size(); ++i) {
            const Tree& tree = trees[i];
            expect_tree_matches_model(tree, data.taxon_set, models[i], preorders[i], lines[i]);
            const test::BruteForceTree facts(tree);
            expect_index_matches_tree(data.lcas[i], facts, rng, lines[i]);
            expect_topologies_match(data.lcas[i], facts, rng, lines[i], coverage);
            if (HasFatalFailure()) return;
            count_shape(tree, coverage);
        }
        expect_sweeps_match(data, trees, rng);
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(coverage.trees, 3000);
    EXPECT_GT(coverage.trees_with_repeated_taxa, 200);
    EXPECT_GT(coverage.trees_with_unary_nodes, 200);
    EXPECT_GT(coverage.resolved_quartets, 1000);
    EXPECT_GT(coverage.unresolved_quartets, 1000);
    EXPECT_GT(coverage.resolved_quintets, 1000);
    EXPECT_GT(coverage.unresolved_quintets, 1000);
    std::printf(
        "random trees: %d (%d with repeated taxa, %d with unary nodes); quartets "
        "%d resolved, %d not; quintets %d resolved, %d not\n",
        coverage.trees, coverage.trees_with_repeated_taxa, coverage.trees_with_unary_nodes,
        coverage.resolved_quartets, coverage.unresolved_quartets, coverage.resolved_quintets,
        coverage.unresolved_quintets);
}

}  // namespace
}  // namespace treetally
