#include "lca/pair_depths.hpp"
