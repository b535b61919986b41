// Topology counts over groups of taxa: each group the individuals (or gene copies) of one
// species. A tree holding at least one individual of every group adds one tree in all to the
// row, shared among the topologies (and "unresolved") in proportion to its combinations of one
// individual per group that show each; so counts may be fractional, while the trees holding
// the row stay whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "sets/tree_set_data.hpp"
#include "tree/ids.hpp"

namespace treetally {

struct MappedTally {
    std::vector<double> shares;  // index = topology code: 3 for quartets, 15 for quintets
    double unresolved = 0.0;     // the share of combinations resolving no topology
    std::uint64_t holding = 0;   // trees holding an individual of every group

    friend bool operator==(const MappedTally&, const MappedTally&) = default;
};

// The counts of four or five groups (in slot order; each non-empty, no taxon in two) over
// every tree. Each tree's shares are its combinations of each code divided by all its
// combinations, added in tree order from 0.0: a tree with one individual per group adds
// exactly 1 to one code, so that counts without repeated individuals are whole numbers.
// Another number of groups, an empty group or an id beyond the set's taxa is a fatal error.
// The interrupt is asked every few thousand trees or combinations.
MappedTally mapped_tally(const TreeSetData& data, std::span<const std::vector<TaxonId>> groups,
                         const InterruptCheck& interrupt = {});

// The same, added to `out` (codes + 1 values: the shares, then unresolved) and `holding`,
// reusing `scratch` between calls: what a table's rows take.
struct MappedScratch {
    std::vector<EulerPos> positions;   // present individuals, group after group
    std::vector<std::size_t> starts;   // where each group's run begins, and the end
};
void add_mapped_tally(const TreeSetData& data, std::span<const std::vector<TaxonId>* const> groups,
                      std::span<double> out, std::uint64_t& holding, MappedScratch& scratch,
                      const InterruptCheck& interrupt);

// The places of each group's individuals in each tree, found once for a table whose rows
// all draw on the same groups: a row then reads only the individuals each tree holds.
class GroupPlaces {
  public:
    // Bytes the places of `groups` over `data` take: one entry per tree and group, and one per
    // individual each tree holds. One pass over the trees' taxon tables; saturates.
    static std::size_t bytes_for(const TreeSetData& data,
                                 std::span<const std::vector<TaxonId>> groups);
    GroupPlaces(const TreeSetData& data, std::span<const std::vector<TaxonId>> groups,
                const InterruptCheck& interrupt = {});

    std::size_t group_count() const { return groups_; }
    // The positions of group `group`'s individuals in tree `tree`.
    std::span<const EulerPos> places(std::size_t tree, std::size_t group) const {
        const std::size_t at = tree * groups_ + group;
        return std::span(positions_).subspan(starts_[at], starts_[at + 1] - starts_[at]);
    }

  private:
    std::size_t groups_ = 0;
    std::vector<std::uint32_t> starts_;  // tree * groups + group; one more at the end
    std::vector<EulerPos> positions_;
};

// add_mapped_tally of the groups `chosen` (indexes of `places`' groups, in slot order).
void add_mapped_tally(const TreeSetData& data, const GroupPlaces& places,
                      std::span<const std::uint32_t> chosen, std::span<double> out,
                      std::uint64_t& holding, MappedScratch& scratch,
                      const InterruptCheck& interrupt);

}  // namespace treetally
