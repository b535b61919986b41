// Tests of the load's notes and choices: a support label of several values read by index, the
// count of trees naming a taxon twice, and the line of a bad branch length.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "sets/tree_set_load.hpp"
#include "temp_files.hpp"
#include "test_support.hpp"
#include "tree/support_labels.hpp"

namespace treetally {
namespace {

using test::fatal_message_of;

// IQ-TREE's "SH-aLRT/UFBoot": the chosen value is the support; a missing or empty one, or a
// label of several values without a choice, is fatal with its line.
TEST(SupportLabels, SeveralValuesAreChosenByIndex) {
    const test::TempDir dir;
    const std::string path = dir.write("t.tre", "((A,B)80/40,(C,D)/95);\n((A,B)1,C,D);\n");
    const auto load = [&](std::optional<std::size_t> index) {
        CollapseRule rule{std::nullopt, 50.0};
        rule.support_index = index;
        LoadNotes notes;
        (void)load_tree_set_data(path, {}, rule, {}, &notes);
        return notes.support_labels;
    };
    EXPECT_EQ(fatal_message_of([&] { (void)load(std::nullopt); }),
              several_support_values(1, "80/40"));
    EXPECT_EQ(fatal_message_of([&] { (void)load(1); }), no_such_support_value(1, "/95", 1));
    EXPECT_EQ(fatal_message_of([&] { (void)load(2); }), no_such_support_value(2, "1", 2));
    EXPECT_EQ(no_such_support_value(2, "1", 2), "line 2: the internal label \"1\" has no value 2 "
                                                "(values separated by \"/\")");
    const std::string good = dir.write("g.tre", "((A,B)80/40,(C,D)/95);\n((A,B)x/1,C,D);\n");
    CollapseRule rule{std::nullopt, 50.0};
    rule.support_index = 2;
    LoadNotes notes;
    const TreeSetData data = load_tree_set_data(good, {}, rule, {}, &notes);
    EXPECT_EQ(notes.support_labels, 3u);
    EXPECT_EQ(notes.trees_repeating_taxon, 0u);
}

// The loader counts the trees that name a taxon twice, each once, and tells a bad branch
// length's line beside the message the module shows.
TEST(LoadNotes, RepeatedTaxaAndTheLineOfABadLength) {
    const test::TempDir dir;
    const std::string path = dir.write("r.tre", "((A,B),(A,C));\n((A,B),C);\n((A,A),(B,B),A);\n");
    LoadNotes notes;
    (void)load_tree_set_data(path, {}, CollapseRule{}, {}, &notes);
    EXPECT_EQ(notes.trees_repeating_taxon, 2u);
    EXPECT_EQ(notes.support_labels, 0u);
    const std::string bad = dir.write("b.tre", "((A,B),C);\n\n((A:x,B),C);\n");
    try {
        (void)load_tree_set_data(bad, {});
        ADD_FAILURE() << "a bad length loaded";
    } catch (const FatalError& error) {
        EXPECT_EQ(error.kind(), ErrorKind::bad_branch_length);
        EXPECT_EQ(error.line_number(), 3u);
    }
}

}  // namespace
}  // namespace treetally
