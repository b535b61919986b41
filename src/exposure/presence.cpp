#include "exposure/presence.hpp"
