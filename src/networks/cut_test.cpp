#include "networks/cut_test.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <unordered_map>
#include <utility>
#include <vector>

namespace treetally {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

double x_log_x(double x) {
    return x > 0.0 ? x * std::log(x) : 0.0;
}

// G of line k, the other two counts a and b: taken smaller first, so that equal pairs give
// equal statistics to the bit.
double line_statistic(double a, double b) {
    const double low = std::min(a, b), high = std::max(a, b);
    if (low + high == 0.0) return 0.0;
    return std::max(0.0, 2.0 * (x_log_x(low) + x_log_x(high) - (low + high) * std::log((low + high) / 2.0)));
}

struct Fitted {
    double statistic;
    std::uint8_t topologies;
    int line;  // the first line reaching the least G
};

Fitted fit(const std::array<double, 3>& c) {
    std::array<double, 3> g{};
    for (std::size_t k = 0; k < 3; ++k) g[k] = line_statistic(c[(k + 1) % 3], c[(k + 2) % 3]);
    const double least = *std::min_element(g.begin(), g.end());
    Fitted out{least, 0, -1};
    for (std::size_t k = 0; k < 3; ++k) {
        if (g[k] != least) continue;
        out.topologies = static_cast<std::uint8_t>(out.topologies | (1u << k));
        if (out.line < 0) out.line = static_cast<int>(k);
    }
    return out;
}

double chi1_tail(double x) {
    return x > 0 ? std::erfc(std::sqrt(x / 2.0)) : 1.0;
}

double upper_normal(double z) {  // P(Z > z)
    return 0.5 * std::erfc(z / std::numbers::sqrt2);
}

double normal_density(double z) {
    return std::exp(-0.5 * z * z) / std::sqrt(2.0 * std::numbers::pi);
}

// P(lo < Z < hi), lo <= hi, kept exact in either tail.
double normal_mass(double lo, double hi) {
    if (lo >= 0.0) return std::max(0.0, upper_normal(lo) - upper_normal(hi));
    if (hi <= 0.0) return std::max(0.0, upper_normal(-hi) - upper_normal(-lo));
    return 1.0 - upper_normal(hi) - upper_normal(-lo);
}

// P(Y outside every interval), Y standard normal, the intervals (lo, hi) as given.
double outside(std::array<std::pair<double, double>, 3> intervals) {
    std::sort(intervals.begin(), intervals.end());
    double mass = 0.0;
    double reached = -infinity;  // the union's right end so far
    for (const auto& [lo, hi] : intervals) {
        if (lo > reached) mass += reached == -infinity ? upper_normal(-lo) : normal_mass(reached, lo);
        reached = std::max(reached, hi);
    }
    return mass + upper_normal(reached);
}

// Ten-point Gauss-Legendre nodes and weights on [-1, 1], the positive half.
constexpr std::array<double, 5> legendre_nodes = {0.1488743389816312, 0.4333953941292472, 0.6794095682990244,
                                                  0.8650633666889845, 0.9739065285171717};
constexpr std::array<double, 5> legendre_weights = {0.2955242247147529, 0.2692667193099963, 0.2190863625159820,
                                                    0.1494513491505806, 0.0666713443482067};

// The fitted point's distance from the star point in the Fisher metric there (sqrt(total)
// units), and the angle that metric sets between its line and each other line; q is the
// fitted frequency of each other topology. The lines' directions from the star point are
// (2, -1, -1) and its permutations, the metric at p is sum u_i v_i / p_i.
std::pair<double, double> geometry(double q, double total) {
    const double a = 1.0 - 2.0 * q;
    if (!(q > 0.0) || !(a > 0.0)) return {infinity, std::numbers::pi / 3.0};
    const double own = 4.0 / a + 2.0 / q;
    const double other = 1.0 / a + 5.0 / q;
    const double cross = -2.0 / a - 1.0 / q;
    const double mu0 = std::sqrt(total) * std::abs(1.0 / 3.0 - q) * std::sqrt(own);
    return {mu0, std::acos(std::clamp(cross / std::sqrt(own * other), -1.0, 1.0))};
}

// The exact chance of a statistic at least `observed` under the multinomial of `total` draws
// (rounded) with frequencies (1 - 2q, q, q) on line `line`.
double exact_tail(int line, double q, double total, double observed) {
    const auto draws = static_cast<std::int64_t>(std::llround(total));
    const double major = std::max(0.0, 1.0 - 2.0 * q);
    const auto log_or = [](double count, double p) {
        if (count == 0.0) return 0.0;
        return p > 0.0 ? count * std::log(p) : -infinity;
    };
    const auto log_binomial = [&](std::int64_t n, std::int64_t k) {
        return std::lgamma(static_cast<double>(n) + 1.0) - std::lgamma(static_cast<double>(k) + 1.0) -
               std::lgamma(static_cast<double>(n - k) + 1.0);
    };
    // The split's own count j (binomial, chance `major`), then the other two alike (a half each).
    const double mean_j = static_cast<double>(draws) * major;
    const double spread_j = 10.0 * std::sqrt(mean_j * (1.0 - major)) + 10.0;
    const auto j_from = static_cast<std::int64_t>(std::max(0.0, std::floor(mean_j - spread_j)));
    const auto j_to = std::min(draws, static_cast<std::int64_t>(std::ceil(mean_j + spread_j)));
    const double tolerance = 1e-9 * std::max(1.0, observed);
    double tail = 0.0;
    for (std::int64_t j = j_from; j <= j_to; ++j) {
        const double log_j = log_binomial(draws, j) + log_or(static_cast<double>(j), major) +
                             log_or(static_cast<double>(draws - j), 1.0 - major);
        if (log_j < -50.0) continue;
        const std::int64_t rest = draws - j;
        const double half = static_cast<double>(rest) / 2.0;
        const double spread = 10.0 * std::sqrt(half / 2.0) + 10.0;
        const auto a_from = static_cast<std::int64_t>(std::max(0.0, std::floor(half - spread)));
        const auto a_to = std::min(rest, static_cast<std::int64_t>(std::ceil(half + spread)));
        for (std::int64_t a = a_from; a <= a_to; ++a) {
            const double log_chance = log_j + log_binomial(rest, a) - static_cast<double>(rest) * std::numbers::ln2;
            if (log_chance < -50.0) continue;
            std::array<double, 3> outcome{};
            const auto k = static_cast<std::size_t>(line);
            outcome[k] = static_cast<double>(j);
            outcome[(k + 1) % 3] = static_cast<double>(a);
            outcome[(k + 2) % 3] = static_cast<double>(rest - a);
            if (fit(outcome).statistic >= observed - tolerance) tail += std::exp(log_chance);
        }
    }
    return std::clamp(tail, 0.0, 1.0);
}

struct Key {
    std::array<double, 3> counts;
    bool operator==(const Key& other) const { return counts == other.counts; }
};
struct KeyHash {
    std::size_t operator()(const Key& key) const {
        std::uint64_t hash = 1469598103934665603ULL;
        for (const double count : key.counts) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &count, sizeof bits);
            hash = (hash ^ bits) * 1099511628211ULL;
            hash ^= hash >> 29;
        }
        return static_cast<std::size_t>(hash);
    }
};

// Rows share count triples, and a p-value near the star point costs an integral or an
// enumeration: each thread keeps its own memo (a pure function, so no thread sees another's).
constexpr std::size_t memo_limit = std::size_t{1} << 16;

}  // namespace

double three_line_tail(double x, double mu0, double theta) {
    if (!(x > 0)) return 1.0;
    if (!std::isfinite(mu0)) return chi1_tail(x);
    const double s = std::sqrt(x);
    const double sine = std::sin(theta), cosine = std::cos(theta);
    // The other lines out of reach: under 1e-23 of the chance lies near them.
    if (mu0 * std::abs(sine) - s > 10.0) return chi1_tail(x);
    // At abscissa u, line 0 and lines +-theta leave out the ordinates within s of them:
    // |v cos(phi) - u sin(phi)| < s.
    const auto strip = [s](double u, double sin_phi, double cos_phi) -> std::pair<double, double> {
        if (std::abs(cos_phi) < 1e-12) {
            return std::abs(u * sin_phi) < s ? std::pair{-infinity, infinity} : std::pair{0.0, 0.0};
        }
        const double a = (u * sin_phi - s) / cos_phi, b = (u * sin_phi + s) / cos_phi;
        return {std::min(a, b), std::max(a, b)};
    };
    const auto at = [&](double u) {
        return normal_density(u - mu0) * outside({std::pair{-s, s}, strip(u, sine, cosine), strip(u, -sine, cosine)});
    };
    // The integrand bends where two strips' edges cross: ten-point Gauss-Legendre on panels at
    // most a quarter wide between those abscissas, over mu0 +- 12, is smooth on each.
    const double from = mu0 - 12.0, to = mu0 + 12.0;
    std::vector<double> bends{from, to};
    if (std::abs(cosine) < 1e-12) {
        for (const double edge : {-s, s}) bends.push_back(edge / std::abs(sine));
    } else {
        // Edges v = slope u + offset: the line 0 strip's, then the others'.
        const std::array<std::pair<double, double>, 6> edges{{{0.0, -s},
                                                              {0.0, s},
                                                              {sine / cosine, -s / cosine},
                                                              {sine / cosine, s / cosine},
                                                              {-sine / cosine, -s / cosine},
                                                              {-sine / cosine, s / cosine}}};
        for (std::size_t i = 0; i < edges.size(); ++i)
            for (std::size_t j = i + 1; j < edges.size(); ++j)
                if (edges[i].first != edges[j].first)
                    bends.push_back((edges[j].second - edges[i].second) / (edges[i].first - edges[j].first));
    }
    std::sort(bends.begin(), bends.end());
    double sum = 0.0;
    for (std::size_t piece = 0; piece + 1 < bends.size(); ++piece) {
        const double low = std::max(bends[piece], from), high = std::min(bends[piece + 1], to);
        if (!(high > low)) continue;
        const int panels = std::max(1, static_cast<int>(std::ceil((high - low) / 0.25)));
        const double width = (high - low) / panels;
        double part = 0.0;
        for (int p = 0; p < panels; ++p) {
            const double middle = low + (p + 0.5) * width;
            for (std::size_t j = 0; j < legendre_nodes.size(); ++j) {
                const double offset = legendre_nodes[j] * width / 2.0;
                part += legendre_weights[j] * (at(middle - offset) + at(middle + offset));
            }
        }
        sum += part * width / 2.0;
    }
    return std::clamp(sum, 0.0, 1.0);
}

CutTest cut_test(std::span<const double, 3> trees) {
    const std::array<double, 3> counts{trees[0], trees[1], trees[2]};
    for (const double count : counts)
        if (!(count >= 0.0) || !std::isfinite(count)) return {not_a_number, not_a_number, 0};
    const double total = counts[0] + counts[1] + counts[2];
    if (!(total > 0.0)) return {not_a_number, not_a_number, 0};
    thread_local std::unordered_map<Key, CutTest, KeyHash> memo;
    if (const auto found = memo.find(Key{counts}); found != memo.end()) return found->second;

    const Fitted fitted = fit(counts);
    const auto k = static_cast<std::size_t>(fitted.line);
    const double q = (counts[(k + 1) % 3] + counts[(k + 2) % 3]) / (2.0 * total);
    double p = 1.0;
    if (fitted.statistic > 0.0) {
        const double fewest = std::min(total * (1.0 - 2.0 * q), total * q);
        if (total < 30.0 || fewest < 5.0) {
            p = exact_tail(fitted.line, q, total, fitted.statistic);
        } else {
            const auto [mu0, theta] = geometry(q, total);
            p = three_line_tail(fitted.statistic, mu0, theta);
        }
    }
    const CutTest result{fitted.statistic, p, fitted.topologies};
    if (memo.size() >= memo_limit) memo.clear();
    memo.emplace(Key{counts}, result);
    return result;
}

}  // namespace treetally
