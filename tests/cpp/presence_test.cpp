// Tests of the presence bits and the per-taxon tree counts: which trees hold a taxon is what
// the sweeps see, across word boundaries, within a memory budget and interruptibly.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "sets/presence.hpp"
#include "sets/tree_set_load.hpp"
#include "test_support.hpp"

namespace treetally {
namespace {

using test::data_of;

constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

std::vector<TaxonId> ids_of(const TreeSetData& data, const std::vector<std::string>& names) {
    std::vector<TaxonId> ids;
    for (const std::string& name : names) ids.push_back(data.taxon_set.id_of(name));
    return ids;
}

// An internal label names no taxon, and the root of a one-node tree sits at position 0, so
// neither counts as holding its taxon.
TEST(Presence, InternalLabelsAndLoneRootsHoldNothing) {
    const TreeSetData data =
        data_of({"((a,b),c);", "(a,(d,e));", "((a,b)c,d);", "c;", "(b,(c,d));"});
    const Presence presence =
        Presence::of(data, ids_of(data, {"a", "b", "c", "d", "c"}), unlimited);
    ASSERT_EQ(presence.word_count(), 1u);
    const std::vector<std::uint64_t> expected = {0b00111, 0b10101, 0b10001, 0b10110, 0b10001};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(presence.bits(k)[0], expected[k]) << k;
        EXPECT_EQ(presence.trees_holding(k), static_cast<unsigned>(std::popcount(expected[k])));
    }
    EXPECT_EQ(presence.trees_holding_all(std::vector<std::size_t>{0, 1}), 2u);
    EXPECT_EQ(presence.trees_holding_all(std::vector<std::size_t>{0, 1, 2, 3}), 0u);
    EXPECT_EQ(presence.trees_holding_all(std::vector<std::size_t>{2, 4}), 2u);
    EXPECT_EQ(presence.trees_holding_all({}), 5u);
    EXPECT_EQ(trees_per_taxon(data), (std::vector<std::uint64_t>{3, 3, 2, 3, 1}));
}

// Random trees over more than two words: each bit says whether the line has the taxon as a
// leaf, the bits past the last tree are clear, and the per-taxon counts agree.
TEST(Presence, BitsFollowTheLeavesOfEachLine) {
    std::mt19937_64 rng(7);
    std::vector<std::string> lines;
    for (int i = 0; i < 150; ++i) lines.push_back(test::random_newick(rng));
    const TreeSetData data = data_of(lines);
    std::vector<TaxonId> all;
    for (std::uint32_t t = 0; t < data.taxon_set.size(); ++t) all.push_back(TaxonId{t});
    const Presence presence = Presence::of(data, all, unlimited);
    const std::vector<std::uint64_t> per_taxon = trees_per_taxon(data);
    ASSERT_EQ(presence.word_count(), 3u);
    for (std::size_t k = 0; k < all.size(); ++k) {
        const std::string leaf = data.taxon_set.taxon_names()[k] + ":";
        const auto bits = presence.bits(k);
        for (std::size_t tree = 0; tree < 192; ++tree) {
            const bool held = tree < lines.size() && lines[tree].find(leaf) != std::string::npos;
            EXPECT_EQ((bits[tree / 64] >> (tree % 64)) & 1, held ? 1u : 0u) << leaf << tree;
        }
        EXPECT_EQ(presence.trees_holding(k), per_taxon[k]);
    }
}

TEST(Presence, RowsBeyondTheBudgetAreRefusedBeforeAllocating) {
    std::vector<std::string> lines(130, "(a,b);");
    const TreeSetData data = data_of(lines);
    const std::vector<TaxonId> taxa = ids_of(data, {"a", "b", "a"});
    EXPECT_EQ(Presence::bytes_for(3, 130), 72u);
    EXPECT_THROW(Presence::of(data, taxa, 71), std::bad_alloc);
    EXPECT_EQ(Presence::of(data, taxa, 72).trees_holding_all(std::vector<std::size_t>{0, 1}), 130u);
    EXPECT_EQ(Presence::bytes_for(unlimited / 4, unlimited / 4), unlimited);
    EXPECT_EQ(Presence::bytes_for(5, 0), 0u);
}

TEST(Presence, UnknownTaxonOrRowIsAFatalError) {
    const TreeSetData data = data_of({"(a,b);"});
    const Presence presence = Presence::of(data, ids_of(data, {"a"}), unlimited);
    const std::vector<std::size_t> rows = {0, 1};
    for (const auto& action : std::vector<std::function<void()>>{
             [&] { Presence::of(data, std::vector<TaxonId>{TaxonId{2}}, unlimited); },
             [&] { presence.bits(1); }, [&] { presence.trees_holding_all(rows); }})
        EXPECT_NE(test::fatal_message_of(action), "<no fatal error>");
}

// Both passes ask the check as they go, and stop when it raises.
TEST(Presence, LongPassesAskTheInterruptCheck) {
    std::string wide = "(x0";
    for (int t = 1; t < 70; ++t) wide += ",x" + std::to_string(t);
    const TreeSetData data = data_of(std::vector<std::string>(2000, wide + ");"));
    const std::vector<TaxonId> taxa(70, TaxonId{0});
    int asked = 0;
    const InterruptCheck counting([&] { ++asked; });
    Presence::of(data, taxa, unlimited, counting);
    EXPECT_GE(asked, 2);
    asked = 0;
    trees_per_taxon(data, counting);
    EXPECT_GE(asked, 2);
    const InterruptCheck raising([] { throw std::runtime_error("stop"); });
    EXPECT_THROW(Presence::of(data, taxa, unlimited, raising), std::runtime_error);
    EXPECT_THROW(trees_per_taxon(data, raising), std::runtime_error);
}

// The intron trees lack two taxa in numbers the data's README gives.
TEST(Presence, IntronTreesLackTheKnownTaxa) {
    const auto path = std::filesystem::path(TREETALLY_SOURCE_DIR).parent_path() / "shared" /
                      "data" / "palaeognaths-15taxa-5016introns.tre";
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "no data at " << path;
    const TreeSetData data = load_tree_set_data(path.string());
    const std::vector<std::uint64_t> counts = trees_per_taxon(data);
    const std::vector<TaxonId> taxa = ids_of(data, {"aptMan", "anoDid", "tinGut"});
    const Presence presence = Presence::of(data, taxa, unlimited);
    EXPECT_EQ(counts[taxa[0].index()], 5016u - 2456u);
    EXPECT_EQ(counts[taxa[1].index()], 5016u - 34u);
    for (std::size_t k = 0; k < taxa.size(); ++k)
        EXPECT_EQ(presence.trees_holding(k), counts[taxa[k].index()]);
    std::uint64_t full = 0;
    for (const std::uint64_t count : counts) full += count == 5016u;
    EXPECT_EQ(full, 13u);
}

}  // namespace
}  // namespace treetally
