#include "tree/taxon_set.hpp"

#include "tree/fatal_error.hpp"

namespace treetally {

TaxonId TaxonSet::insert_or_get(std::string_view name) {
    if (auto found = ids_by_name_.find(name); found != ids_by_name_.end()) return found->second;
    if (size() >= max_id_count)
        fail("too many taxa: a tree file may name at most 2147483647 distinct taxa");
    const TaxonId id{static_cast<std::uint32_t>(size())};
    taxon_names_.emplace_back(name);
    ids_by_name_.emplace(taxon_names_.back(), id);
    return id;
}

TaxonId TaxonSet::id_of(std::string_view name) const {
    auto found = ids_by_name_.find(name);
    if (found == ids_by_name_.end()) fail("Taxon not found");
    return found->second;
}

}  // namespace treetally
