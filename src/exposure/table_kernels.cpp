#include "exposure/topology_table.hpp"
