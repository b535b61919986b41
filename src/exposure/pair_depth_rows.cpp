#include "exposure/pair_depth_rows.hpp"
