#include "lca/deepest_pair.hpp"

#include <array>
#include <utility>

#include "tree/fatal_error.hpp"

namespace treetally {

namespace {

// How many of the deepest records so far meet at each LCA node; at most ten entries.
class LcaTally {
  public:
    void reset(NodeId node) {
        size_ = 0;
        add(node);
    }

    void add(NodeId node) {
        for (std::size_t k = 0; k < size_; ++k) {
            if (entries_[k].first == node) {
                ++entries_[k].second;
                return;
            }
        }
        entries_[checked_index(size_, entries_.size())] = {node, 1};
        ++size_;
    }

    bool any_node_shared() const {
        for (std::size_t k = 0; k < size_; ++k) {
            if (entries_[k].second >= 2) return true;
        }
        return false;
    }

  private:
    std::array<std::pair<NodeId, std::uint8_t>, 16> entries_{};
    std::size_t size_ = 0;
};

}  // namespace

PairLca pair_lca(const TreeLca& lca, EulerPos a, EulerPos b, std::uint8_t first,
                 std::uint8_t second) {
    const EulerPos ancestor = lca.lca_position(a, b);
    return PairLca{ancestor, first, second, lca.depth_at(ancestor)};
}

std::optional<PairLca> deepest_pair(const TreeLca& lca, std::span<const PairLca> records) {
    PairLca best = records[checked_index(0, records.size())];
    LcaTally tally;
    tally.reset(lca.node_at(best.lca_pos));
    for (const PairLca& record : records.subspan(1)) {
        if (record.depth > best.depth) {
            best = record;
            tally.reset(lca.node_at(record.lca_pos));
        } else if (record.depth == best.depth) {
            tally.add(lca.node_at(record.lca_pos));
        }
    }
    if (tally.any_node_shared()) return std::nullopt;
    return best;
}

}  // namespace treetally
