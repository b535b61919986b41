// What the reader makes of a text, counted without building: the nodes exactly as the reader
// builds them, whatever comments, labels and lengths hold, and labels enough for every taxon.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "test_support.hpp"
#include "tree/newick_reader.hpp"

namespace treetally {
namespace {

TEST(ReaderYield, SkipsWhatTheReaderSkips) {
    // "(" and "," that make no node: in a comment, inside a label or a length, after ";".
    EXPECT_EQ(reader_yield_of("(A[((,(],B);").nodes, 3u);
    EXPECT_EQ(reader_yield_of("(A((((,B);").nodes, 3u);
    EXPECT_EQ(reader_yield_of("(A,B);(C,(D,E));").nodes, 3u);
    EXPECT_EQ(reader_yield_of("[;](A,B)").nodes, 3u);
    EXPECT_EQ(reader_yield_of("").nodes, 1u);
    const ReaderYield labels = reader_yield_of("((Aa:1,B)X,C[c]D);");
    EXPECT_EQ(labels.labels, 5u);  // Aa, B, X (dropped), C, D
    EXPECT_EQ(labels.label_bytes, 6u);
}

TEST(ReaderYield, MatchesTheTreesOfRandomTexts) {
    std::mt19937 random(20'240'611);
    const std::string alphabet = "(),:;[] AB(((,,,1";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (int k = std::uniform_int_distribution<int>(0, 60)(random); k > 0; --k)
            text += alphabet[random() % alphabet.size()];
        try {
            const test::ParsedTree parsed = test::parse(text);
            EXPECT_EQ(reader_yield_of(text).nodes, parsed.tree.node_count()) << text;
            EXPECT_GE(reader_yield_of(text).labels, parsed.taxa.size()) << text;
        } catch (const FatalError&) {
            // a branch length that is no number: nothing is built
        }
    }
}

TEST(ReaderYield, SizedArraysGiveTheSameTree) {
    const std::string text = "((A:1,B:2)[(((((],(C,D));";
    TaxonSet taxa;
    const Tree sized = parse_newick_tree(text, taxa, reader_yield_of(text).nodes);
    EXPECT_EQ(test::shape_of(sized, taxa), test::shape_of(test::parse(text)));
    EXPECT_EQ(sized.heap_bytes(), sized.node_count() * Tree::bytes_per_node());
}

}  // namespace
}  // namespace treetally
