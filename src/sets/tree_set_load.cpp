#include "sets/tree_set_load.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <new>
#include <span>
#include <system_error>
#include <vector>

#include "base/fatal_error.hpp"
#include "base/messages.hpp"
#include "base/saturating_add.hpp"
#include "lca/index_arena.hpp"
#include "sets/tree_set_builder.hpp"
#include "tree/branch_collapse.hpp"
#include "tree/support_labels.hpp"
#include "tree/tree_loader.hpp"

namespace treetally {

namespace {

// The size of the file at `path`, or 0 when it is not known.
std::size_t file_bytes(const std::string& path) {
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(path, error);
    if (error) return 0;
    return static_cast<std::size_t>(
        std::min<std::uintmax_t>(bytes, std::numeric_limits<std::size_t>::max()));
}

// The index blocks, the per-taxon tables and the scratch of the largest build of `collection`.
struct IndexingBytes {
    std::size_t blocks = 0;
    std::size_t tables = 0;
    std::size_t scratch = 0;
};

IndexingBytes indexing_bytes(const TreeCollection& collection) {
    const std::size_t taxon_count = collection.taxon_set.size();
    IndexingBytes bytes;
    for (const Tree& tree : collection.trees) {
        const std::size_t block = TreeLca::block_bytes_for(tree);
        bytes.blocks = saturating_add(bytes.blocks, block);
        bytes.tables = saturating_add(bytes.tables, TreeLca::bytes_for(tree, taxon_count) - block);
        bytes.scratch = std::max(bytes.scratch, TreeLca::BuildScratch::bytes_for(tree));
    }
    return bytes;
}

// Each part of a set lives in one block of its arena, or none when there is no tree.
std::size_t arena_bytes(std::size_t pieces, const TreeCollection& collection) {
    return collection.trees.empty() ? 0 : IndexArena::block_bytes_for(pieces);
}

// The blocks, the tables and the list of indexes that a set built from `collection` keeps.
std::size_t kept_bytes(const IndexingBytes& bytes, const TreeCollection& collection) {
    return saturating_add(saturating_add(arena_bytes(bytes.blocks, collection),
                                         arena_bytes(bytes.tables, collection)),
                          collection.trees.size() * sizeof(TreeLca));
}

}  // namespace

void fail_to_load(const LoadError& error) {
    fail(error.kind, messages::failed_to_load(error.message));
}

std::size_t collection_index_bytes(const TreeCollection& collection) {
    return kept_bytes(indexing_bytes(collection), collection);
}

std::size_t indexing_peak_bytes(const TreeCollection& collection) {
    // While it builds, the builder holds the blocks, the list of indexes, the lists of labelled
    // nodes and where each tree's end, and the scratch; at the end, the tables instead of the
    // scratch. Then the labelled nodes go.
    const TreeSetBuilder::Room room = TreeSetBuilder::Room::for_collection(collection);
    const IndexingBytes bytes = indexing_bytes(collection);
    const std::size_t lists =
        room.labelled_nodes * sizeof(TreeLca::TaxonPlace) + room.tree_count * sizeof(std::size_t);
    const std::size_t tables = arena_bytes(bytes.tables, collection);
    return saturating_add(saturating_add(kept_bytes(bytes, collection), lists),
                          bytes.scratch > tables ? bytes.scratch - tables : 0);
}

TreeSetData index_tree_collection(TreeCollection collection, const LoadContext& context) {
    // Needed because the per-tree taxon table grows as taxa x trees: a small file of many short
    // lines with distinct names asks for more than any machine has, one small block at a time,
    // and the kernel would kill the process instead of failing an allocation.
    const std::size_t budget = context.memory_budget();
    if (indexing_peak_bytes(collection) > budget) throw std::bad_alloc();
    TreeSetBuilder builder(budget, TreeSetBuilder::Room::for_collection(collection),
                           context.interrupt);
    for (Tree& tree : collection.trees) {
        // Nothing reads a tree once it is indexed, so its arrays go at once.
        const Tree indexed = std::move(tree);
        builder.add(indexed);
    }
    return std::move(builder).finish(std::move(collection.taxon_set));
}

namespace {

// Counts the trees that name a taxon on more than one node, each tree once, in one pass over
// its nodes: entry t of the stamps is 1 + the last tree that named taxon t.
class RepeatedTaxa {
  public:
    void look_at(const Tree& tree) {
        ++stamp_;
        for (const std::int32_t taxon : tree.node_taxons()) {
            if (taxon < 0) continue;
            const auto index = static_cast<std::size_t>(taxon);
            if (index >= last_tree_of_taxon_.size()) last_tree_of_taxon_.resize(index + 1, 0);
            if (last_tree_of_taxon_[index] == stamp_) {
                ++trees_;
                return;
            }
            last_tree_of_taxon_[index] = stamp_;
        }
    }
    std::size_t trees() const { return trees_; }

  private:
    std::vector<std::size_t> last_tree_of_taxon_;
    std::size_t stamp_ = 0;
    std::size_t trees_ = 0;
};

// Renames the later copies of a name within each tree (copy_name), so that every leaf keeps a
// taxon of its own: entry t of the stamps is 1 + the last tree that named taxon t, and of the
// copies how many that tree has named.
class CopiesApart {
  public:
    explicit CopiesApart(TaxonSet& taxa) : taxa_(taxa) {}
    void rename(Tree& tree) {
        ++stamp_;
        const std::span<const std::int32_t> taxons = tree.node_taxons();
        for (std::size_t node = 0; node < taxons.size(); ++node) {
            if (taxons[node] < 0) continue;
            const auto index = static_cast<std::size_t>(taxons[node]);
            if (index >= seen_.size()) seen_.resize(index + 1, {0, 0});
            Seen& seen = seen_[index];
            if (seen.tree != stamp_) {
                seen = {stamp_, 1};
                continue;
            }
            ++seen.copies;
            const TaxonId copy =
                taxa_.insert_or_get(copy_name(taxa_.taxon_names()[index], seen.copies));
            tree.set_node_taxon(NodeId{static_cast<std::int32_t>(node)}, copy);
        }
    }

  private:
    struct Seen {
        std::size_t tree;
        std::size_t copies;
    };
    TaxonSet& taxa_;
    std::vector<Seen> seen_;
    std::size_t stamp_ = 0;
};

}  // namespace

std::string copy_name(std::string_view name, std::size_t copy) {
    std::string text(name);
    text += '\n';
    text += std::to_string(copy);
    return text;
}

TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context) {
    return load_tree_set_data(path, context, CollapseRule{});
}

TreeSetData load_tree_set_data(const std::string& path, const LoadContext& context,
                               const CollapseRule& rule, const NumberedProblemSink& problems,
                               LoadNotes* notes, bool copies_apart) {
    const std::size_t budget = context.memory_budget();
    TaxonSet taxa;
    TreeSetBuilder builder(budget, TreeSetBuilder::Room::for_file(file_bytes(path)),
                           context.interrupt);
    SupportLabels supports(rule.support_index);
    RepeatedTaxa repeated;
    // written[i]: whether node i of the tree being read was given a length (nodes with children
    // only, the ones a contraction judges).
    std::vector<std::uint8_t> written;
    std::size_t negatives = 0;
    TreeSink index_at_once = [&builder](Tree&& tree) { return builder.add(tree); };
    if (!rule.empty()) {
        index_at_once = [&builder, &supports, &rule, &written](Tree&& tree) {
            const Tree collapsed =
                rule.max_length
                    ? collapse_branches(tree, supports.by_node(), rule,
                                        std::span<const std::uint8_t>(written))
                    : collapse_branches(tree, supports.by_node(), rule);
            supports.clear();
            written.clear();
            return builder.add(collapsed);
        };
    }
    // Only a caller that asks for the notes pays for looking at every tree's taxa and lengths.
    if (notes != nullptr) {
        index_at_once = [&repeated, &negatives, index = std::move(index_at_once)](Tree&& tree) {
            repeated.look_at(tree);
            // The root's entry is no branch (it holds a marker, or the length written after the
            // root, which lies between no two taxa): only the branches below it count.
            for (const double length : tree.branch_lengths().subspan(1))
                negatives += length < 0.0 ? 1 : 0;
            return index(std::move(tree));
        };
    }
    CopiesApart copies(taxa);
    if (copies_apart) {
        index_at_once = [&copies, index = std::move(index_at_once)](Tree&& tree) {
            copies.rename(tree);
            return index(std::move(tree));
        };
    }
    // Without a support bound the labels mean nothing to the load, whatever they hold.
    NumberedLabelSink support_labels;
    if (rule.min_support) {
        support_labels = [&supports](std::size_t line, NodeId node, std::string_view label) {
            supports.add(line, node, label);
        };
    }
    // Without a length bound it does not matter which lengths were written.
    InternalLengthSink written_lengths;
    if (rule.max_length) {
        written_lengths = [&written](NodeId node) {
            if (written.size() <= node.index()) written.resize(node.index() + 1, 0);
            written[node.index()] = 1;
        };
    }
    if (const auto error =
            read_tree_file(path, taxa, index_at_once, budget, context.interrupt, support_labels,
                           context.max_line_bytes, problems, written_lengths)) {
        fail_to_load(*error);
    }
    if (notes != nullptr) *notes = {supports.taken(), repeated.trees(), negatives};
    return std::move(builder).finish(std::move(taxa));
}

}  // namespace treetally
