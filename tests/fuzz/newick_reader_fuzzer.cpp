// libFuzzer harness: one line of arbitrary bytes through the Newick reader, then the index
// and queries on the tree it built. Bytes after the first ';' steer the queries.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.hpp"
#include "tree/newick_reader.hpp"

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
        return 0;
    }
    const Tree& tree = collection.trees[0];
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
