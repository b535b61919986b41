// What a load answers to besides its file: the check that lets its caller stop it, how much
// memory it may still take, asked when loading starts and again before indexing, and the
// longest line it accepts.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>

#include "base/available_memory.hpp"
#include "base/interrupt_check.hpp"

namespace treetally {

struct LoadContext {
    InterruptCheck interrupt;
    // The machine's figure; a fixed one fakes a small machine in tests. nullopt: no limit known.
    std::function<std::optional<std::size_t>()> available_memory = [] {
        return available_memory_bytes();
    };
    // The most bytes a line may hold, its line feed not counted; a longer line is the fatal
    // error line_too_long, raised before the line is held whole. nullopt: no cap but memory,
    // as the module loads (an endless line then grows until the memory budget refuses it).
    std::optional<std::size_t> max_line_bytes = std::nullopt;

    // What a load may take: the memory available now, or no limit when none is known.
    std::size_t memory_budget() const {
        return available_memory().value_or(std::numeric_limits<std::size_t>::max());
    }
};

}  // namespace treetally
