#include "exposure/table_text.hpp"
