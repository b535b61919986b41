// Depths of the lowest common ancestors of one place with many others in one tree: the rows
// of the all-quartet and all-quintet tables are filled from these, one tree at a time. Depth
// alone decides both classifications once two pairs at one depth are known to meet at one node
// exactly when they share a taxon, so the tables keep depths and no nodes.
#pragma once

#include <cstdint>
#include <span>

#include "lca/tree_lca.hpp"

namespace treetally {

// Sets depths[k] to the depth, in edges from the root, of the LCA of `from` and others[k].
// Every position must lie below the index's column count (any position read from the index's
// own per-taxon table does); `depths` holds at least as many entries as `others`.
void lca_depths_from(const TreeLca& lca, EulerPos from, std::span<const EulerPos> others,
                     std::span<std::uint32_t> depths);

}  // namespace treetally
