// Tests of the name-to-id map shared by the trees of one file.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "base/messages.hpp"
#include "colliding_names.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;
using test::parse;

TEST(TaxonSet, EmptySetKnowsNoName) {
    const TaxonSet taxa;
    EXPECT_EQ(taxa.size(), 0u);
    for (const char* name : {"A", "", " "})
        EXPECT_EQ(fatal_message_of([&] { taxa.id_of(name); }), messages::taxon_not_found) << name;
}

TEST(TaxonSet, FatalErrorCarriesMessageAndPlace) {
    try {
        TaxonSet{}.id_of("x");
        FAIL() << "no fatal error";
    } catch (const FatalError& error) {
        EXPECT_STREQ(error.what(), messages::taxon_not_found);
        EXPECT_GT(error.where().line(), 0u);
        EXPECT_NE(std::string(error.where().file_name()), "");
    }
}

TEST(TaxonSet, HandsOutDenseIdsInOrderOfFirstInsertion) {
    TaxonSet taxa;
    EXPECT_EQ(taxa.insert_or_get("b").value, 0u);
    EXPECT_EQ(taxa.insert_or_get("a").value, 1u);
    EXPECT_EQ(taxa.insert_or_get("b").value, 0u);
    EXPECT_EQ(taxa.insert_or_get("c").value, 2u);
    EXPECT_EQ(taxa.size(), 3u);
    EXPECT_EQ(taxa.taxon_names(), (std::vector<std::string>{"b", "a", "c"}));
    for (std::uint32_t id = 0; id < 3; ++id)
        EXPECT_EQ(taxa.id_of(taxa.taxon_names()[id]).value, id);
}

TEST(TaxonSet, FailedLookupLeavesTheSetUnchanged) {
    TaxonSet taxa;
    taxa.insert_or_get("A");
    EXPECT_EQ(fatal_message_of([&] { taxa.id_of("B"); }), messages::taxon_not_found);
    EXPECT_EQ(taxa.size(), 1u);
    EXPECT_EQ(taxa.insert_or_get("B").value, 1u);
}

TEST(TaxonSet, NamesAreComparedByteForByte) {
    // Case, a trailing space and quote characters each make a different taxon.
    const auto parsed = parse("(A,a,A ,'A',A);");
    EXPECT_EQ(parsed.taxa.taxon_names(), (std::vector<std::string>{"A", "a", "A ", "'A'"}));
    EXPECT_EQ(parsed.taxa.id_of("A ").value, 2u);
    EXPECT_EQ(fatal_message_of([&] { parsed.taxa.id_of("A\t"); }), messages::taxon_not_found);
}

TEST(TaxonSet, NamesWithNulAndNonAsciiBytesAreKeptWhole) {
    TaxonSet taxa;
    const std::string with_nul("A\0B", 3);
    EXPECT_EQ(taxa.insert_or_get(with_nul).value, 0u);
    EXPECT_EQ(taxa.insert_or_get("A").value, 1u);
    EXPECT_EQ(taxa.insert_or_get("\xC3\xA9t\xC3\xA9").value, 2u);
    EXPECT_EQ(taxa.id_of(with_nul).value, 0u);
    EXPECT_EQ(taxa.taxon_names()[0].size(), 3u);
}

TEST(TaxonSet, LaterTreesReuseIdsOfNamesAlreadySeen) {
    TaxonSet taxa;
    const Tree first = parse_newick_tree("((A,B),C);", taxa);
    const Tree second = parse_newick_tree("(C,(D,A));", taxa);
    EXPECT_EQ(taxa.taxon_names(), (std::vector<std::string>{"A", "B", "C", "D"}));
    // Nodes of the second tree: 0 root, 1 C, 2 (D,A), 3 D, 4 A.
    EXPECT_EQ(test::to_vector(second.node_taxons()), (std::vector<std::int32_t>{-42, 2, -1, 3, 0}));
    EXPECT_EQ(first.node_taxon(NodeId{4}), 2);
}

TEST(TaxonSet, NamesCraftedToCollideLoadWithTheirIdsInOrder) {
    // A file whose names all collided in the former hash: the first tree names them in order,
    // the second in reverse, so every id must come back from its name after thousands of
    // crafted neighbours.
    const std::vector<std::string> names = test::names_colliding_in_former_hash(2000);
    std::string forward = "(";
    std::string backward = "(";
    for (std::size_t k = 0; k < names.size(); ++k) {
        forward += names[k] + (k + 1 < names.size() ? "," : ");\n");
        backward += names[names.size() - 1 - k] + (k + 1 < names.size() ? "," : ");\n");
    }
    const test::TempDir dir;
    LoadResult loaded = load_tree_collection(dir.write("crafted.tre", forward + backward));
    ASSERT_TRUE(std::holds_alternative<TreeCollection>(loaded));
    const TreeCollection& collection = std::get<TreeCollection>(loaded);
    EXPECT_EQ(collection.taxon_set.taxon_names(), names);
    ASSERT_EQ(collection.trees.size(), 2u);
    const std::vector<std::int32_t> second = test::to_vector(collection.trees[1].node_taxons());
    ASSERT_EQ(second.size(), names.size() + 1);
    for (std::size_t k = 0; k < names.size(); ++k) {
        EXPECT_EQ(collection.taxon_set.id_of(names[k]).index(), k);
        EXPECT_EQ(second[k + 1], static_cast<std::int32_t>(names.size() - 1 - k));
    }
}

// The name table grows by rehashing; names that share long prefixes and suffixes, differ only
// in length or in one middle byte, must all keep their ids.
TEST(TaxonSet, NameTableKeepsIdsThroughGrowth) {
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
              messages::taxon_not_found);
    EXPECT_EQ(fatal_message_of([&] { taxa.id_of(std::string(3, '\0')); }),
              messages::taxon_not_found);
}

}  // namespace
}  // namespace treetally
