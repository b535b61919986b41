// The secret key of every hash over file content in this process: drawn once from the operating
// system's random source, so that no file can be crafted against it.
#pragma once

#include "base/siphash.hpp"

namespace treetally {

// The same key for the life of the process; the first call draws it (thread-safe).
HashKey process_hash_key();

// A new key from the system's random source, or from clocks and addresses where it has none.
HashKey draw_hash_key();

}  // namespace treetally
