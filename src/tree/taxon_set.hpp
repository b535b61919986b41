// The map between taxon names and dense TaxonIds shared by all trees of one file.
// Names are compared byte for byte; ids are handed out in order of first appearance.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tree/ids.hpp"

namespace treetally {

class TaxonSet {
  public:
    // Returns the id of `name`, adding it with the next free id when it is new.
    TaxonId insert_or_get(std::string_view name);

    // Returns the id of `name`; raises the fatal error "Taxon not found" when it is absent.
    TaxonId id_of(std::string_view name) const;

    std::size_t size() const { return taxon_names_.size(); }
    const std::vector<std::string>& taxon_names() const { return taxon_names_; }

  private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view name) const noexcept {
            return std::hash<std::string_view>{}(name);
        }
    };

    std::unordered_map<std::string, TaxonId, NameHash, std::equal_to<>> ids_by_name_;
    std::vector<std::string> taxon_names_;
};

}  // namespace treetally
