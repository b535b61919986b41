// All trees read from one file together with the taxon set they share.
// Built once by the loader and read-only afterwards.
#pragma once

#include <vector>

#include "tree/taxon_set.hpp"
#include "tree/tree.hpp"

namespace treetally {

struct TreeCollection {
    TaxonSet taxon_set;
    std::vector<Tree> trees;
};

}  // namespace treetally
