// Helpers shared by the core tests: reading one Newick text into a fresh taxon set, catching
// fatal errors by message, and writing a tree back out as text so shapes compare at a glance.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tree/fatal_error.hpp"
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

// The message of the FatalError that `action` raises, or a marker text when it raises none.
inline std::string fatal_message_of(const std::function<void()>& action) {
    try {
        action();
    } catch (const FatalError& error) {
        return error.message();
    }
    return "<no fatal error>";
}

inline std::string out_of_bounds_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
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

inline std::vector<std::int32_t> to_vector(std::span<const std::int32_t> values) {
    return {values.begin(), values.end()};
}

}  // namespace treetally::test
