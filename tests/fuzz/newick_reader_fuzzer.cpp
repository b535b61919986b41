// libFuzzer harness: one line of arbitrary bytes through the Newick reader, then through the
// reader that reports the line's problems to a sink (which must build the same tree and report
// each kind at most once, in order, with a one-line detail), then the index and queries on the
// tree it built. Bytes after the first ';' steer the queries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/utf8_validation.hpp"
#include "fuzz_checks.hpp"
#include "tree/line_problems.hpp"
#include "tree/newick_reader.hpp"
#include "tree/tree_loader.hpp"

namespace {

// The text through the reader with a problem sink: the problems' order and form, and whether a
// length that is not a number was among them.
bool check_with_sink(std::string_view text, const treetally::Tree* usual) {
    using namespace treetally;
    int last = -1;
    bool bad_length = false;
    const LineProblemSink sink = [&](LineProblem kind, std::string_view detail) {
        fuzz::require(static_cast<int>(kind) > last, "a problem out of order, or twice");
        last = static_cast<int>(kind);
        fuzz::require(!detail.empty() && detail.find('\n') == std::string_view::npos,
                      "a detail empty or of more than one line");
        bad_length = bad_length || kind == LineProblem::bad_branch_length;
    };
    TaxonSet taxa;
    Tree checked;
    parse_newick_tree_into(text, taxa, checked, std::nullopt, {}, sink);
    if (usual != nullptr) {
        fuzz::require(checked.node_count() == usual->node_count() &&
                          std::ranges::equal(checked.parents(), usual->parents()),
                      "the reader with a sink built another tree");
    }
    // The line check adds the UTF-8 test in front of the same reading.
    bool any = false;
    check_line(text, [&](LineProblem kind, std::string_view) {
        any = true;
        fuzz::require(kind != LineProblem::not_utf8 || !is_valid_utf8(text),
                      "valid UTF-8 reported as not UTF-8");
    });
    fuzz::require(any || is_valid_utf8(text), "a line that is not UTF-8 passed the check");
    return bad_length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace treetally;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    FuzzedDataProvider bytes(data, size);

    TreeCollection collection;
    try {
        collection.trees.push_back(parse_newick_tree(text, collection.taxon_set));
        // The same text read again into the same set adds no taxa and builds the same tree.
        const std::size_t taxa_before = collection.taxon_set.size();
        const Tree again = parse_newick_tree(text, collection.taxon_set);
        fuzz::require(collection.taxon_set.size() == taxa_before, "second read added taxa");
        fuzz::require(again.node_count() == collection.trees[0].node_count(),
                      "second read built another tree");
    } catch (const FatalError& error) {
        fuzz::expect_reader_error(error);
        // The usual reader refused a length: the sink must have been told of one.
        fuzz::require(check_with_sink(text, nullptr),
                      "a length refused without a bad branch length reported");
        return 0;
    }
    const Tree& tree = collection.trees[0];
    fuzz::require(!check_with_sink(text, &tree), "a bad branch length the reader accepted");
    const ReaderYield yield = reader_yield_of(text);
    fuzz::require(yield.nodes == tree.node_count(), "reader_yield_of miscounted the nodes");
    std::size_t name_bytes = 0;
    for (const auto& name : collection.taxon_set.taxon_names()) name_bytes += name.size();
    fuzz::require(yield.labels >= collection.taxon_set.size() && yield.label_bytes >= name_bytes,
                  "reader_yield_of counted fewer labels than became taxa");
    fuzz::require(tree.root_is_bifurcating() == (tree.child_count(NodeId::root()) == 2),
                  "root flag disagrees with the root's children");
    fuzz::index_and_query(std::move(collection), bytes);
    return 0;
}
