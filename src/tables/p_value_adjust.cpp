#include "tables/p_value_adjust.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <ranges>
#include <utility>
#include <vector>

namespace treetally {

namespace {

struct Placed {
    std::uint64_t key;  // the p-value's bits: for values >= 0 their order is the values' order
    std::size_t place;
};

// Sorts by key, least significant 16 bits first (stable, so ties keep their places' order);
// a digit every key shares moves nothing and is skipped (p-values share their top bits).
void radix_sort(std::vector<Placed>& items) {
    std::vector<Placed> moved(items.size());
    std::vector<std::size_t> starts(std::size_t{1} << 16);
    for (int shift = 0; shift < 64; shift += 16) {
        std::fill(starts.begin(), starts.end(), 0);
        for (const Placed& item : items) ++starts[(item.key >> shift) & 0xFFFF];
        if (std::find(starts.begin(), starts.end(), items.size()) != starts.end()) continue;
        std::size_t total = 0;
        for (std::size_t& start : starts) total += std::exchange(start, total);
        for (const Placed& item : items) moved[starts[(item.key >> shift) & 0xFFFF]++] = item;
        items.swap(moved);
    }
}

}  // namespace

void adjust_p_values(std::span<double> p_values, AdjustMethod method) {
    // The values that are numbers with their places, in ascending order; the steps run over
    // groups of tied values (the running maximum or minimum changes only at a group's edge),
    // and each group's adjusted value goes back to its places.
    std::vector<Placed> sorted;
    sorted.reserve(p_values.size());
    for (std::size_t k = 0; k < p_values.size(); ++k) {
        const double p = p_values[k];
        if (!std::isnan(p)) sorted.push_back({p == 0.0 ? 0 : std::bit_cast<std::uint64_t>(p), k});
    }
    radix_sort(sorted);
    const auto m = static_cast<double>(sorted.size());
    auto value = [&](std::size_t k) { return p_values[sorted[k].place]; };
    auto group_end = [&](std::size_t first) {
        std::size_t end = first;
        while (end < sorted.size() && sorted[end].key == sorted[first].key) ++end;
        return end;
    };
    if (method == AdjustMethod::holm) {
        double running = 0.0;
        for (std::size_t first = 0; first < sorted.size();) {
            const std::size_t end = group_end(first);
            const auto before = static_cast<double>(first);  // how many p-values are smaller
            running = std::max(running, std::min(1.0, (m - before) * value(first)));
            for (std::size_t k = first; k < end; ++k) p_values[sorted[k].place] = running;
            first = end;
        }
        return;
    }
    // Benjamini-Hochberg runs down from the largest: up_to is how many p-values are this one
    // or smaller (the end of its group). Each group's p is read before its places are written.
    std::vector<std::size_t> starts;
    for (std::size_t first = 0; first < sorted.size(); first = group_end(first)) starts.push_back(first);
    double running = 1.0;
    std::size_t end = sorted.size();
    for (const std::size_t start : std::ranges::reverse_view(starts)) {
        running = std::min(running, m * value(start) / static_cast<double>(end));
        for (std::size_t k = start; k < end; ++k) p_values[sorted[k].place] = running;
        end = start;
    }
}

}  // namespace treetally
