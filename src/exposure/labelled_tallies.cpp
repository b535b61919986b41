#include "exposure/labelled_tallies.hpp"
