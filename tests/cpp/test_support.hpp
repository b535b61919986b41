// Helpers shared by the core tests: reading Newick texts into a fresh taxon set or an indexed
// set of trees, locating taxa, random trees, fatal errors by message, trees as text, and a
// fake machine for loads.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/fatal_error.hpp"
#include "lca/tree_lca.hpp"
#include "sets/tree_set_data.hpp"
#include "sets/tree_set_load.hpp"
#include "tree/newick_reader.hpp"
#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"

namespace treetally::test {

// One tree together with the taxon set its labels went into.
struct ParsedTree {
    TaxonSet taxa;
    Tree tree;
};

inline ParsedTree parse(std::string_view text) {
    ParsedTree parsed;
    parsed.tree = parse_newick_tree(text, parsed.taxa);
    return parsed;
}

inline TreeLca index_of(const ParsedTree& parsed) {
    return TreeLca::build(parsed.tree, parsed.taxa.size());
}

// The positions of the named taxa in `index`, in the order of `names`.
template <typename Name, std::size_t N>
std::array<EulerPos, N> positions_of(const ParsedTree& parsed, const TreeLca& index,
                                     const std::array<Name, N>& names) {
    std::array<EulerPos, N> positions;
    for (std::size_t k = 0; k < N; ++k)
        positions[k] = index.taxon_position(parsed.taxa.id_of(names[k]));
    return positions;
}

// What `query` (quartet_type, quintet_type, pairwise_distances) answers for the named taxa of
// the tree `text`, indexed on its own.
template <typename Name, std::size_t N, typename Query>
auto query_tree(std::string_view text, const std::array<Name, N>& names, Query query) {
    const ParsedTree parsed = parse(text);
    const TreeLca index = index_of(parsed);
    return query(index, positions_of(parsed, index, names));
}

// One tree, the taxa asked about and the topology code expected for them (nullopt when the
// tree leaves them unresolved), for the parametrised classifier tests.
template <std::size_t N>
struct TopologyCase {
    const char* name;
    std::string text;
    std::array<std::string, N> names;
    std::optional<std::uint8_t> expected;

    friend void PrintTo(const TopologyCase& c, std::ostream* os) { *os << c.name << ' ' << c.text; }
};

// Reads each text as one line of a file, then indexes the whole collection.
inline TreeSetData data_of(const std::vector<std::string>& lines) {
    TreeCollection collection;
    for (const std::string& line : lines)
        collection.trees.push_back(parse_newick_tree(line, collection.taxon_set));
    return index_tree_collection(std::move(collection));
}

// Random trees over taxa t0..t7 with polytomies, unary nodes, lengths and missing taxa.
inline std::string random_newick(std::mt19937_64& rng) {
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

// Five random positions below the index's column count, present taxa or not.
inline std::array<EulerPos, 5> random_positions(const TreeLca& index, std::mt19937_64& rng) {
    std::array<EulerPos, 5> positions;
    for (EulerPos& p : positions) {
        p = EulerPos{static_cast<std::uint32_t>(rng() % index.column_count())};
    }
    return positions;
}

// The message of the FatalError that `action` raises, or a marker text when it raises none.
inline std::string fatal_message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const FatalError& error) {
        return error.message();
    }
    return "<no fatal error>";
}

inline const std::string& label_of(const Tree& tree, const TaxonSet& taxa, NodeId node) {
    static const std::string unlabelled;
    const auto taxon = tree.taxon_of(node);
    return taxon ? taxa.taxon_names().at(taxon->index()) : unlabelled;
}

// The tree as Newick text without lengths, following the child links from the root: the
// form used to state expected shapes. Iterative, so it copes with any depth.
inline std::string shape_of(const Tree& tree, const TaxonSet& taxa) {
    struct Frame {
        NodeId node;
        NodeId next_child;
        bool opened;
    };
    std::string out;
    std::vector<Frame> stack{{NodeId::root(), tree.first_child(NodeId::root()), false}};
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next_child.is_none()) {
            if (frame.opened) out += ')';
            out += label_of(tree, taxa, frame.node);
            stack.pop_back();
            continue;
        }
        out += frame.opened ? ',' : '(';
        frame.opened = true;
        const NodeId child = frame.next_child;
        frame.next_child = tree.next_sibling(child);
        stack.push_back({child, tree.first_child(child), false});
    }
    return out;
}

inline std::string shape_of(const ParsedTree& parsed) {
    return shape_of(parsed.tree, parsed.taxa);
}

// A load on a fake machine that has `available_bytes` of memory to give.
inline LoadContext machine_with(std::size_t available_bytes) {
    LoadContext context;
    context.available_memory = [available_bytes] {
        return std::optional<std::size_t>(available_bytes);
    };
    return context;
}

inline std::vector<std::int32_t> to_vector(std::span<const std::int32_t> values) {
    return {values.begin(), values.end()};
}

}  // namespace treetally::test
