// TINNiK's B- and T-quartets. A quartet is a B-quartet when its four taxa meet at one node of the
// tree of blobs (a blob, or a polytomy), a T-quartet when an edge of that tree splits them two
// and two. The tests class a quartet as a B-quartet when its star test is not rejected or its
// tree test (T3 or cut) is; some B-quartets give counts that the tree test accepts, so more are
// inferred from the others by two rules that hold in every tree. Among five taxa a tree leaves
// 0, 2 or 5 of the five quartets unresolved, and two unresolved ones are those missing either
// taxon of a cherry. Hence, on five taxa S:
//   rule 1: when at least three quartets of S are B-quartets, all five are;
//   rule 2: when Q = S - {e} is a B-quartet and the T-quartet S - {d} (d in Q) pairs e with
//           x, then S - {x} is a B-quartet (e hangs where x does, beside the node where Q meets).
// The rules are applied in rounds until a round infers nothing: each round reads the classes as
// they were when it began, so the result does not depend on any order of the quartets. Only
// five-taxon sets holding a quartet that became a B-quartet in the previous round can give
// anything new, so each round looks at those alone.
//
// Every quartet's class is kept in one byte at its colex rank (flat, C(n, 4) bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/interrupt_check.hpp"
#include "networks/network_distance.hpp"
#include "networks/quartet_classes.hpp"
#include "tables/table_block.hpp"

namespace treetally {

struct BlobInference {
    std::uint64_t rule_one = 0;  // B-quartets the first rule inferred
    std::uint64_t rule_two = 0;  // and the second
    std::uint64_t rounds = 0;    // rounds that inferred something
};

class BlobQuartets {
  public:
    explicit BlobQuartets(std::size_t taxa);

    // Bytes the classes of every quartet of `taxa` taxa take (saturating).
    static std::size_t bytes_for(std::size_t taxa);

    std::size_t taxa() const { return taxa_; }

    // One quartet: four distinct taxa in any order, its class and, for a T-quartet, its
    // topologies (bit k: the first taxon with taxa[k + 1], as for counts).
    void record(std::span<const std::uint32_t, 4> taxa, QuartetClass kind, std::uint8_t topologies);
    // Every row of a quartet table's block, classed at `levels`. Blocks may be recorded on
    // several threads at once: their quartets are distinct bytes.
    void record(const TableBlock& block, const NetworkLevels& levels);

    // Applies both rules until they infer nothing more; once.
    BlobInference infer(const InterruptCheck& interrupt = {});

    // Whether the quartet is a B-quartet (tested or inferred), and whether inferred.
    bool is_b(std::span<const std::uint32_t, 4> taxa) const;
    bool inferred(std::span<const std::uint32_t, 4> taxa) const;

    // The TINNiK distance sums: a B-quartet (and a quartet no tree resolves) adds 1/2 to each
    // pair, a T-quartet its split; the inferred B-quartets counted apart from the classes.
    NetworkDistanceSums sums(const NetworkLevels& levels) const;

  private:
    std::uint64_t rank(std::span<const std::uint32_t, 4> sorted) const;
    // Looks at the five taxa `five` (ascending), reached from the frontier quartet lacking
    // five[from]: marks what the rules infer.
    void apply_rules(const std::array<std::uint32_t, 5>& five, std::size_t from, BlobInference& found);

    std::size_t taxa_;
    std::array<std::vector<std::uint64_t>, 5> binomials_;  // binomials_[k][m] = C(m, k)
    std::vector<std::uint8_t> status_;
};

}  // namespace treetally
