#include "tree/branch_collapse.hpp"

#include <cstdint>
#include <vector>

namespace treetally {

namespace {

bool is_weak(double length, bool written, std::optional<double> support,
             const CollapseRule& rule) {
    return (rule.max_length && written && length <= *rule.max_length) ||
           (rule.min_support && support && *support < *rule.min_support);
}

// Where each node of the old tree goes. The reader numbers every node after its parent, so a
// pass in id order meets each node after its parent, and a pass against it meets each node
// after its first child: no pass needs a stack, whatever the depth.
class Contraction {
  public:
    Contraction(const Tree& tree, std::span<const std::optional<double>> support_by_node,
                const CollapseRule& rule, std::optional<std::span<const std::uint8_t>> written)
        : tree_(tree), image_(tree.node_count()), head_(tree.node_count()) {
        number_kept_nodes(support_by_node, rule, written);
        find_heads();
    }

    // The new tree: kept nodes appended in their old order under their new parents, then
    // linked through the contracted nodes.
    Tree build() const {
        TreeBuilder builder;
        builder.reserve(kept_count_);
        std::vector<std::int32_t> after(tree_.node_count());
        for (std::size_t node = 0; node < tree_.node_count(); ++node) {
            const NodeId old{static_cast<std::int32_t>(node)};
            after[node] = following(old, after);
            if (!is_kept(old)) continue;
            // The builder starts with the root; every other kept node is appended in turn.
            if (node != 0) builder.append_child_of(receiver_of(tree_.parent(old)));
            set_fields(builder, old);
            const NodeId first = tree_.first_child(old);
            builder.set_first_child(new_id(old), first.is_none() ? first : head_of(first));
            builder.set_next_sibling(new_id(old), NodeId{after[node]});
        }
        return std::move(builder).finish();
    }

  private:
    // image_[x]: x's new id when x is kept; for a contracted x, -1 - the new id of the node
    // that receives its children (its nearest kept ancestor).
    void number_kept_nodes(std::span<const std::optional<double>> support_by_node,
                           const CollapseRule& rule,
                           std::optional<std::span<const std::uint8_t>> written) {
        const std::span<const double> lengths = tree_.branch_lengths();
        std::int32_t next_id = 0;
        image_[0] = next_id++;
        for (std::size_t node = 1; node < tree_.node_count(); ++node) {
            const NodeId old{static_cast<std::int32_t>(node)};
            const std::optional<double> support =
                node < support_by_node.size() ? support_by_node[node] : std::nullopt;
            // A node with children always has a first child, which the contraction needs; a
            // node that names a taxon keeps it, so it stays.
            const bool contracted = !tree_.first_child(old).is_none() &&
                                    tree_.node_taxon(old) < 0 &&
                                    is_weak(lengths[node], is_written(written, node), support, rule);
            image_[node] = contracted ? -1 - receiver_of(tree_.parent(old)).value : next_id++;
        }
        kept_count_ = static_cast<std::size_t>(next_id);
    }

    // head_[x]: the new id of the first kept node met going down first children from x.
    void find_heads() {
        for (std::size_t node = tree_.node_count(); node-- > 0;) {
            const NodeId old{static_cast<std::int32_t>(node)};
            head_[node] = is_kept(old) ? image_[node] : head_[tree_.first_child(old).index()];
        }
    }

    // The new id of the kept node that comes right after `node`'s place among its siblings,
    // once contracted nodes are replaced by their children, or -1; `after` holds it for
    // every node before `node`.
    std::int32_t following(NodeId node, const std::vector<std::int32_t>& after) const {
        const NodeId sibling = tree_.next_sibling(node);
        if (!sibling.is_none()) return head_of(sibling).value;
        const NodeId parent = tree_.parent(node);
        if (node != NodeId::root() && !is_kept(parent)) return after[parent.index()];
        return -1;
    }

    void set_fields(TreeBuilder& builder, NodeId old) const {
        const NodeId node = new_id(old);
        if (const auto taxon = tree_.taxon_of(old)) builder.set_taxon(node, *taxon);
        builder.set_branch_length(node, tree_.branch_length(old));
    }

    static bool is_written(std::optional<std::span<const std::uint8_t>> written,
                           std::size_t node) {
        return !written || (node < written->size() && (*written)[node] != 0);
    }

    bool is_kept(NodeId old) const { return image_[old.index()] >= 0; }
    NodeId new_id(NodeId kept) const { return NodeId{image_[kept.index()]}; }
    NodeId head_of(NodeId old) const { return NodeId{head_[old.index()]}; }
    // The new id of the node that takes `old`'s children: `old` itself unless contracted.
    NodeId receiver_of(NodeId old) const {
        const std::int32_t image = image_[old.index()];
        return NodeId{image >= 0 ? image : -1 - image};
    }

    const Tree& tree_;
    std::vector<std::int32_t> image_;
    std::vector<std::int32_t> head_;
    std::size_t kept_count_ = 0;
};

}  // namespace

Tree collapse_branches(const Tree& tree, std::span<const std::optional<double>> support_by_node,
                       const CollapseRule& rule,
                       std::optional<std::span<const std::uint8_t>> length_written) {
    return Contraction(tree, support_by_node, rule, length_written).build();
}

}  // namespace treetally
