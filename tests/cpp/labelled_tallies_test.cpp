// Tests of the labelled tallies and the summed path lengths: each count and each sum is what
// classifying every tree on its own gives, the trees holding the taxa are those that have
// them as leaves, and the time table is the sweep's to the last bit.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lca/pair_distances.hpp"
#include "sets/labelled_tallies.hpp"
#include "sets/presence.hpp"
#include "sets/tree_set_load.hpp"
#include "test_support.hpp"

namespace treetally {

void PrintTo(const LabelledTally& t, std::ostream* os) {
    *os << testing::PrintToString(t.counts) << " holding " << t.holding;
}

namespace {

using test::data_of;

std::vector<TaxonId> ids_of(const TaxonSet& taxa, const std::vector<std::string>& names) {
    std::vector<TaxonId> ids;
    for (const std::string& name : names) ids.push_back(taxa.id_of(name));
    return ids;
}

// A taxon is held when it labels a node other than the root (the root of a one-node tree sits
// at position 0).
bool holds(const Tree& tree, TaxonId taxon) {
    for (std::size_t node = 1; node < tree.node_count(); ++node) {
        if (tree.taxon_of(NodeId{static_cast<std::int32_t>(node)}) == taxon) return true;
    }
    return false;
}

// What classifying each tree on its own gives, and the sweep's time table computed the way it
// always was: 1.0 added per tree, then each part divided by its sum.
struct Expected {
    LabelledTally tally;
    PathSums sums{};
    TimeTable table{};
};

Expected classify_each(const std::vector<std::string>& lines, std::span<const TaxonId> ids) {
    TaxonSet taxa;
    std::vector<Tree> trees;
    for (const std::string& line : lines) trees.push_back(parse_newick_tree(line, taxa));
    Expected expected;
    expected.tally.counts.assign(ids.size() == 4 ? 3 : 15, 0);
    for (const Tree& tree : trees) {
        bool all = true;
        for (const TaxonId id : ids) all = all && holds(tree, id);
        if (!all) continue;
        ++expected.tally.holding;
        const TreeLca index = TreeLca::build(tree, taxa.size());
        std::array<EulerPos, 5> positions{};
        for (std::size_t k = 0; k < ids.size(); ++k) positions[k] = index.taxon_position(ids[k]);
        if (ids.size() == 4) {
            if (const auto code =
                    quartet_type(index, {positions[0], positions[1], positions[2], positions[3]}))
                ++expected.tally.counts[*code];
            continue;
        }
        const auto code = quintet_type(index, positions);
        if (!code) continue;
        ++expected.tally.counts[*code];
        expected.table[*code] += 1.0;
        const PairDistances distances = pairwise_distances(index, positions);
        for (std::size_t p = 0; p < 10; ++p) {
            expected.sums[10 * *code + p] += distances[p];
            expected.table[15 + 10 * *code + p] += distances[p];
        }
    }
    auto normalise = [](std::span<double> values) {
        double sum = 0.0;
        for (const double value : values) sum += value;
        if (sum > 0.0)
            for (double& value : values) value /= sum;
    };
    normalise(std::span(expected.table).first(15));
    for (std::size_t t = 0; t < 15; ++t)
        normalise(std::span(expected.table).subspan(15 + 10 * t, 10));
    return expected;
}

struct TallyCase {
    const char* name;
    std::vector<std::string> lines;
    std::vector<std::string> names;
    std::vector<std::uint64_t> counts;
    std::uint64_t holding;
};

void PrintTo(const TallyCase& c, std::ostream* os) {
    *os << c.name;
}

class LabelledTallyCases : public testing::TestWithParam<TallyCase> {};

TEST_P(LabelledTallyCases, CountsAndHolding) {
    const TallyCase& c = GetParam();
    const TreeSetData data = data_of(c.lines);
    const std::vector<TaxonId> ids = ids_of(data.taxon_set, c.names);
    const LabelledTally tally = labelled_tally(data, ids);
    EXPECT_EQ(tally, (LabelledTally{c.counts, c.holding}));
    EXPECT_EQ(tally, classify_each(c.lines, ids).tally);
}

const std::vector<std::string> abcd = {"a", "b", "c", "d"};
const std::vector<std::string> abcde = {"a", "b", "c", "d", "e"};
const std::vector<std::uint64_t> two_of_first_quintet = {2, 0, 0, 0, 0, 0, 0, 0,
                                                         0, 0, 0, 0, 0, 0, 0};

// clang-format off
INSTANTIATE_TEST_SUITE_P(Trees, LabelledTallyCases, testing::Values(
    TallyCase{"Polytomies", {"(a,b,c,d);", "((a,b),c,d);", "((a,c),(b,d));", "((a,d),b,c);"},
              abcd, {1, 1, 1}, 4},
    TallyCase{"AbsentTaxa", {"((a,b),(c,d));", "((a,b),(c,x));", "(a,b,c);", "((a,b),(d,c),e);"},
              abcd, {2, 0, 0}, 2},
    TallyCase{"RepeatedTaxon", {"((a,b),(c,d));", "((a,b),(d,x));"}, {"b", "c", "d", "c"},
              {0, 1, 0}, 1},
    TallyCase{"InternalLabelIsNoTaxon", {"((a,b)c,(d,e));", "((a,b),(c,(d,e)));"}, abcd,
              {1, 0, 0}, 1},
    TallyCase{"LoneRootIsAbsent", {"a;", "((a,b),(c,d));"}, abcd, {1, 0, 0}, 1},
    TallyCase{"Quintets", {"((a,b),c,(d,e));", "(a,b,c,d,e);", "((a,b),c,(d,x));",
                           "((a,b),c,(d,e));"}, abcde, two_of_first_quintet, 3},
    TallyCase{"RepeatedQuintetTaxon", {"(((a,b),c),(d,e));", "(((a,b),c),(d,x));"},
              {"a", "a", "b", "c", "d"}, two_of_first_quintet, 2}),
    [](const testing::TestParamInfo<TallyCase>& p) { return p.param.name; });
// clang-format on

// Random tree lines whose every branch length is a random double.
std::vector<std::string> random_lines(std::mt19937_64& rng, std::size_t count) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string tree = test::random_newick(rng);
        std::string line;
        for (std::size_t at = 0; at < tree.size(); ++at) {
            line += tree[at];
            if (tree[at] != ':') continue;
            while (at + 1 < tree.size() && (std::isdigit(tree[at + 1]) || tree[at + 1] == '.'))
                ++at;
            char length[32];
            std::snprintf(length, sizeof length, "%.17g",
                          std::uniform_real_distribution<double>(0.0, 3.0)(rng));
            line += length;
        }
        lines.push_back(line);
    }
    return lines;
}

std::array<TaxonId, 5> five_of(std::span<const TaxonId> ids) {
    return {ids[0], ids[1], ids[2], ids[3], ids[4]};
}

// Random tuples, repeats allowed, over random trees with polytomies, unary nodes and missing
// taxa: every tally, sum and table is the tree-by-tree answer, to the last bit.
TEST(LabelledTallies, AgreeTreeByTreeOnRandomTrees) {
    std::mt19937_64 rng(23);
    const std::vector<std::string> lines = random_lines(rng, 400);
    const TreeSetData data = data_of(lines);
    const std::size_t taxon_count = data.taxon_set.size();
    for (int round = 0; round < 60; ++round) {
        std::vector<TaxonId> ids;
        for (int k = 0; k < 5; ++k)
            ids.push_back(TaxonId{static_cast<std::uint32_t>(rng() % taxon_count)});
        const std::span<const TaxonId> four = std::span(ids).first(4);
        const Expected quartet = classify_each(lines, four);
        const Expected quintet = classify_each(lines, ids);
        const LabelledTally tally4 = labelled_tally(data, four);
        const LabelledTally tally5 = labelled_tally(data, ids);
        ASSERT_EQ(tally4, quartet.tally);
        ASSERT_EQ(tally5, quintet.tally);

        const TopologyPathSums sums = topology_path_sums(data, five_of(ids));
        EXPECT_EQ(LabelledTally({{sums.quartet_counts.begin(), sums.quartet_counts.end()},
                                 sums.quartet_holding}),
                  tally4);
        EXPECT_EQ(LabelledTally({{sums.quintet_counts.begin(), sums.quintet_counts.end()},
                                 sums.quintet_holding}),
                  tally5);
        EXPECT_EQ(sums.pair_length_sums, quintet.sums);
        const TopologyPathSums quintet_only = quintet_path_sums(data, five_of(ids));
        EXPECT_EQ(quintet_only.quartet_holding + quintet_only.quartet_counts[0], 0u);
        EXPECT_EQ(quintet_only.quintet_counts, sums.quintet_counts);
        EXPECT_EQ(quintet_only.pair_length_sums, sums.pair_length_sums);

        const TimeTable table = normalised_time_table(sums.quintet_counts, sums.pair_length_sums);
        EXPECT_EQ(table, quintet.table);
        const auto& names = data.taxon_set.taxon_names();
        const QuintetNames named = {names[ids[0].index()], names[ids[1].index()],
                                    names[ids[2].index()], names[ids[3].index()],
                                    names[ids[4].index()]};
        EXPECT_EQ(coalescence_times_by_topology(data, named), table);
    }
}

TEST(LabelledTallies, WrongCountOrUnknownIdIsAFatalError) {
    const TreeSetData data = data_of({"((a,b),(c,d),e);"});
    const std::vector<TaxonId> three = ids_of(data.taxon_set, {"a", "b", "c"});
    const std::vector<TaxonId> six = ids_of(data.taxon_set, {"a", "b", "c", "d", "e", "a"});
    const std::vector<TaxonId> unknown = {TaxonId{0}, TaxonId{1}, TaxonId{2}, TaxonId{5}};
    for (const auto& ids : {three, six, unknown})
        EXPECT_NE(test::fatal_message_of([&] { labelled_tally(data, ids); }), "<no fatal error>");
    EXPECT_NE(test::fatal_message_of([&] {
                  topology_path_sums(data,
                                     {TaxonId{0}, TaxonId{1}, TaxonId{2}, TaxonId{3}, TaxonId{9}});
              }),
              "<no fatal error>");
}

TEST(LabelledTallies, LongSweepsAskTheInterruptCheck) {
    const TreeSetData data = data_of(std::vector<std::string>(10000, "((a,b),(c,d),e);"));
    const std::vector<TaxonId> ids = ids_of(data.taxon_set, {"a", "b", "c", "d", "e"});
    int asked = 0;
    const InterruptCheck counting([&] { ++asked; });
    EXPECT_EQ(labelled_tally(data, ids, counting).holding, 10000u);
    EXPECT_GE(asked, 2);
    asked = 0;
    EXPECT_EQ(topology_path_sums(data, five_of(ids), counting).quintet_holding, 10000u);
    EXPECT_GE(asked, 2);
    const InterruptCheck raising([] { throw std::runtime_error("stop"); });
    EXPECT_THROW(labelled_tally(data, ids, raising), std::runtime_error);
    EXPECT_THROW(topology_path_sums(data, five_of(ids), raising), std::runtime_error);
}

// The intron trees, with lengths and with taxa missing from many trees: the tallies hold the
// trees the presence bits count, and agree with classifying tree by tree.
TEST(LabelledTallies, RealTreesAgreeWithPresenceAndTreeByTree) {
    const auto path = std::filesystem::path(TREETALLY_SOURCE_DIR).parent_path() / "shared" /
                      "data" / "palaeognaths-15taxa-5016introns.tre";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no data at " << path;
    const TreeSetData data = load_tree_set_data(path.string());
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), data.tree_count());
    const std::vector<TaxonId> ids =
        ids_of(data.taxon_set, {"aptMan", "anoDid", "strCam", "tinGut", "droNov"});
    const Presence presence = Presence::of(data, ids, std::size_t{1} << 20);
    const Expected expected = classify_each(lines, ids);
    const LabelledTally tally = labelled_tally(data, ids);
    EXPECT_EQ(tally.holding, presence.trees_holding_all(std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(tally, expected.tally);
    const TopologyPathSums sums = topology_path_sums(data, five_of(ids));
    EXPECT_EQ(sums.quartet_holding,
              presence.trees_holding_all(std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(normalised_time_table(sums.quintet_counts, sums.pair_length_sums), expected.table);
}

}  // namespace
}  // namespace treetally
