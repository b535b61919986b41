#include "exposure/p_value_adjust.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace treetally {

void adjust_p_values(std::span<double> p_values, AdjustMethod method) {
    // The distinct values in ascending order, each with its adjusted value; every p then takes
    // its value's, found by binary search.
    std::vector<double> sorted;
    sorted.reserve(p_values.size());
    for (const double p : p_values)
        if (!std::isnan(p)) sorted.push_back(p);
    std::sort(sorted.begin(), sorted.end());
    const auto m = static_cast<double>(sorted.size());
    std::vector<double> distinct;
    std::vector<double> adjusted;
    if (method == AdjustMethod::holm) {
        double running = 0.0;
        for (std::size_t k = 0; k < sorted.size();) {
            const double p = sorted[k];
            const double before = static_cast<double>(k);  // how many p-values are smaller
            running = std::max(running, std::min(1.0, (m - before) * p));
            distinct.push_back(p);
            adjusted.push_back(running);
            while (k < sorted.size() && sorted[k] == p) ++k;
        }
    } else {
        // Descending: up_to is how many p-values are this one or smaller.
        double running = 1.0;
        for (std::size_t end = sorted.size(); end > 0;) {
            const double p = sorted[end - 1];
            running = std::min(running, m * p / static_cast<double>(end));
            distinct.push_back(p);
            adjusted.push_back(running);
            while (end > 0 && sorted[end - 1] == p) --end;
        }
        std::reverse(distinct.begin(), distinct.end());
        std::reverse(adjusted.begin(), adjusted.end());
    }
    for (double& p : p_values) {
        if (std::isnan(p)) continue;
        const auto at = std::lower_bound(distinct.begin(), distinct.end(), p);
        p = adjusted[static_cast<std::size_t>(at - distinct.begin())];
    }
}

}  // namespace treetally
