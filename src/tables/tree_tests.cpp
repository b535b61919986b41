#include "tables/tree_tests.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <vector>

namespace treetally {

// The model: a quartet's topology frequencies lie on one of three segments
// (1 - 2q, q, q), q in [0, 1/3], that meet at the star point (1/3, 1/3, 1/3); T1 allows one
// named segment only. The statistic is the Cressie-Read power divergence of the counts from
// their maximum-likelihood fit on the model. Its p-value:
// - mlest: the asymptotic law of the statistic at the fitted point. Scaled by the Fisher
//   information at the fitted point, the counts are a normal vector of identity covariance
//   about it, and the statistic its squared distance to the model as seen from there: three
//   rays from the star point (one for T1) at the angles that metric gives, the fitted point
//   on one of them at distance mu0 from the star. Far from the star this is chi-square with
//   1 degree of freedom; near it, it is not. The tail is a sum over the rays' cells of
//   bivariate normal orthants.
// - conservative: the law that bounds every such law from above: chi-square with 1 degree of
//   freedom for T3, the mixture 1/2 chi2(1) + 1/2 chi2(2) (its law at the star) for T1.
// - Few counts (fewer than 30 in all, or a fitted count below 5 on a topology the fit does
//   not take as the tree's): either law is unreliable, and the p-value is the exact tail of
//   the statistic under the fitted model (a parametric bootstrap with every outcome of the
//   multinomial enumerated instead of drawn, so no seed is needed), whatever the method.

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double pi = std::numbers::pi;

// Counts below these call for the exact law (fewer trees in all; fitted count on a minor
// topology).
constexpr double small_sample = 30.0;
constexpr double small_expected = 5.0;

// Standard normal deviations past which the chance is negligible: Phi(-8.3) = 5.2e-17.
constexpr double negligible_deviation = 8.3;

double chi1_tail(double x) { return x > 0 ? std::erfc(std::sqrt(x / 2.0)) : 1.0; }
double chi2_tail(double x) { return x > 0 ? std::exp(-x / 2.0) : 1.0; }
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::numbers::sqrt2); }
double normal_density(double x) { return std::exp(-0.5 * x * x) / std::sqrt(2.0 * pi); }

// Cressie-Read: 2 / (lambda (lambda + 1)) sum O ((O / E)^lambda - 1), with its limits at
// lambda 0 (2 sum O ln(O / E)) and -1 (2 sum E ln(E / O)); a cell with O = E adds nothing.
double power_divergence(const std::array<double, 3>& observed,
                        const std::array<double, 3>& expected, double lambda) {
    double sum = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        const double o = observed[i];
        const double e = expected[i];
        if (o == e) continue;
        if (lambda == 0.0) {
            if (o > 0) sum += 2.0 * o * std::log(o / e);
        } else if (lambda == -1.0) {
            sum += o > 0 ? 2.0 * e * std::log(e / o) : HUGE_VAL;
        } else if (o == 0) {
            // O^(lambda + 1) E^-lambda - O: 0 above lambda = -1, unbounded at or below it.
            if (lambda < -1.0) sum += HUGE_VAL;
        } else {
            sum += o * std::expm1(lambda * std::log(o / e)) * 2.0 / (lambda * (lambda + 1.0));
        }
    }
    return std::max(sum, 0.0);
}

struct Fit {
    std::array<double, 3> expected;
    int major;  // the topology the fit takes as the tree's
    double q;   // the fitted frequency of each other topology
};

// The maximum-likelihood point of segment `code`: its minors share the counts off it, unless
// that would pass the star point, which is then the fit.
Fit fit_segment(const std::array<double, 3>& counts, int code, double total) {
    const auto major = static_cast<std::size_t>(code);
    Fit fit{{}, code, 1.0 / 3.0};
    if (3.0 * counts[major] >= total) {
        const double minor = (total - counts[major]) / 2.0;
        for (std::size_t i = 0; i < 3; ++i) fit.expected[i] = i == major ? counts[major] : minor;
        fit.q = minor / total;
    } else {
        fit.expected.fill(total / 3.0);
    }
    return fit;
}

// On T3 the largest count's segment fits best (the same fit for tied largest counts).
int largest(const std::array<double, 3>& counts) {
    int best = 0;
    for (int i = 1; i < 3; ++i)
        if (counts[static_cast<std::size_t>(i)] > counts[static_cast<std::size_t>(best)]) best = i;
    return best;
}

// Ten-point Gauss-Legendre nodes and weights on [-1, 1], the positive half.
constexpr std::array<double, 5> legendre_nodes = {0.1488743389816312, 0.4333953941292472,
                                                  0.6794095682990244, 0.8650633666889845,
                                                  0.9739065285171717};
constexpr std::array<double, 5> legendre_weights = {0.2955242247147529, 0.2692667193099963,
                                                    0.2190863625159820, 0.1494513491505806,
                                                    0.0666713443482067};

// The integral of f over [from, to] by composite ten-point Gauss-Legendre, panels at most
// `panel` wide (f smooth there).
template <typename F>
double integrate(F f, double from, double to, double panel) {
    const int panels = std::max(1, static_cast<int>(std::ceil((to - from) / panel)));
    const double width = (to - from) / panels;
    double sum = 0.0;
    for (int at = 0; at < panels; ++at) {
        const double middle = from + (at + 0.5) * width;
        for (std::size_t j = 0; j < legendre_nodes.size(); ++j) {
            const double offset = legendre_nodes[j] * width / 2.0;
            sum += legendre_weights[j] * (f(middle - offset) + f(middle + offset));
        }
    }
    return sum * width / 2.0;
}

// The orthant integrals below run over theta in [0, asin r]; the sines of their quadrature
// nodes depend on r alone, and a three-ray tail asks for several orthants of each r (and of
// -r, whose nodes are these negated), so the sines are worked out once per r: a sine and an
// exponential a node were most of the cost. |asin r| < pi / 2, so at most two panels of
// width at most 1, as integrate() lays them.
struct OrthantNodes {
    double width = 0.0;  // of each panel (negative for r < 0)
    int count = 0;       // nodes in use
    // Filled up to `count`, left uninitialised beyond: clearing them cost more than filling.
    std::array<double, 4 * legendre_nodes.size()> sines;
    std::array<double, 4 * legendre_nodes.size()> secants_squared;  // 1 / (1 - sin^2)

    void fill(double r) {
        count = 0;
        const double end = std::asin(r);
        const int panels = std::max(1, static_cast<int>(std::ceil(end)));
        width = end / panels;
        for (int at = 0; at < panels; ++at) {
            const double middle = (at + 0.5) * width;
            for (const double node : legendre_nodes) {
                const double offset = node * width / 2.0;
                for (const double theta : {middle - offset, middle + offset}) {
                    const double sine = std::sin(theta);
                    sines[static_cast<std::size_t>(count)] = sine;
                    secants_squared[static_cast<std::size_t>(count++)] = 1.0 / (1.0 - sine * sine);
                }
            }
        }
    }
};

// P(X > h, Y > k) for standard normals of correlation r (|r| < 1): the product of the
// margins plus the integral of the density's derivative in r from 0 to r, which with
// r = sin(theta) is (1 / 2 pi) exp(-(h^2 - 2 h k sin(theta) + k^2) / (2 cos^2(theta))) over
// theta in [0, asin r], smooth there; ten Gauss-Legendre points take it to the last digits
// for |r| below 0.8.
// With `negated`, of correlation -r instead: asin and sin are odd, so its nodes are these
// with their sines and width negated.
double upper_orthant(double h, double k, const OrthantNodes& nodes, bool negated) {
    const double margins = normal_cdf(-h) * normal_cdf(-k);
    if (nodes.width == 0.0) return margins;
    const double squares = (h * h + k * k) / 2.0;
    const double sign = negated ? -1.0 : 1.0;
    double sum = 0.0;
    for (std::size_t at = 0; at < static_cast<std::size_t>(nodes.count); at += 2) {
        const std::size_t j = (at / 2) % legendre_nodes.size();
        const double low =
            (nodes.sines[at] * h * k * sign - squares) * nodes.secants_squared[at];
        const double high =
            (nodes.sines[at + 1] * h * k * sign - squares) * nodes.secants_squared[at + 1];
        sum += legendre_weights[j] * (std::exp(low) + std::exp(high));
    }
    return std::clamp(margins + sum * (sign * nodes.width) / 2.0 / (2.0 * pi), 0.0, 1.0);
}

// A side of a ray's cell: the line through the vertex at slope 1/k (k >= 0) off the ray's
// axis, with the orthant nodes of correlations -+k / sqrt(1 + k^2), worked out when first
// asked for (orthants far off need none).
class Side {
public:
    // k: the cotangent of the angle between the side and the ray.
    explicit Side(double k) : k_(k), scale_(std::sqrt(1.0 + k_ * k_)) {}

    // The integral over b >= s of phi(b - mb) Phi(ma - k b), k >= 0: the chance that a
    // standard normal pair about (ma, mb) has b >= s and lies on the ray's side of the line.
    // In t = b - mb, with c = ma - k mb, it is P(T >= s - mb, Z <= c - k T) for independent
    // standard normals, and with W = (Z + k T) / sqrt(1 + k^2) (correlation
    // rho = k / sqrt(1 + k^2) with T) an orthant of the pair (T, -W). With `beyond`, the
    // chance that it lies on the line's other side (Phi(k b - ma)): the orthant of (T, W).
    double integral(double s, double mb, double ma, bool beyond = false) {
        const double h = s - mb;
        const double c = (ma - k_ * mb) / scale_;
        const double k = beyond ? c : -c;
        // The chance is at most Phi(-max(h, k)), under 5.2e-17 past 8.3: a three-ray tail
        // sums six orthants, so leaving such ones out moves it by under 1e-15.
        if (std::max(h, k) > negligible_deviation) return 0.0;
        if (!has_nodes_) {
            nodes_.fill(-k_ / scale_);
            has_nodes_ = true;
        }
        return upper_orthant(h, k, nodes_, beyond);
    }

private:
    double k_;
    double scale_;  // sqrt(1 + k^2)
    OrthantNodes nodes_;  // of correlation -k / sqrt(1 + k^2)
    bool has_nodes_ = false;
};

// P(X > x) for X the squared distance from N(mean, I) to three rays from a vertex at angles
// 0 and +-alpha (alpha in (pi / 2, pi), given by its cosine), the mean on ray 0 at distance
// mu0 from the vertex.
// Each ray's cell is bounded by the bisectors of its angles to its neighbours; the tail is the
// sum over the cells of the chance past s on both sides of the ray (Side::integral).
double three_ray_tail(double x, double mu0, double cosine) {
    if (!(x > 0)) return 1.0;
    const double s = std::sqrt(x);
    const double sine = std::sqrt(1.0 - cosine * cosine);
    // The sides: the bisector of alpha (cotangent of alpha / 2) and of the gap between rays
    // +-alpha (2 pi - 2 alpha, cotangent of pi - alpha).
    Side own_side((1.0 + cosine) / sine);
    Side gap_side(-cosine / sine);
    // Near the vertex the ray's own cell holds a share of the tail worked out directly (both
    // halves alike); far from it, nearly all of it, and the chi-square tail less the points
    // beyond the cell keeps the precision.
    double own = 0.0;
    if (mu0 > 3.0) {
        const double beyond = own_side.integral(s, 0.0, mu0, true);
        own = chi1_tail(x) - beyond - beyond;
    } else {
        own = 2.0 * own_side.integral(s, 0.0, mu0);
    }
    // Ray alpha, in its frame, bounded by the gap's bisector on one side and ray 0's on the
    // other; ray -alpha holds its mirror image.
    const double ma = mu0 * cosine;
    const double mb = -mu0 * sine;
    const double other = gap_side.integral(s, mb, ma) + own_side.integral(s, -mb, ma);
    return std::clamp(own + other + other, 0.0, 1.0);
}

// P(X > x) for X the squared distance from N(mean, I) to one ray from a vertex, the mean on
// it at distance mu0: past the vertex the distance is to the ray's line, behind it to the
// vertex itself.
double one_ray_tail(double x, double mu0) {
    if (!(x > 0)) return 1.0;
    const double s = std::sqrt(x);
    if (mu0 > 38.0) return chi1_tail(x);
    // |b| > s, in front or behind: farther than s from the ray's line and from the vertex.
    const double tail = chi1_tail(x);
    // Behind, -s <= a < 0 and |b| <= s: past the circle when |a| > sqrt(x - b^2). With
    // b = s sin(theta) the integrand is smooth: 2 s cos(theta) phi(s sin(theta))
    // Phi(-s cos(theta) - mu0) over [0, pi / 2].
    const double behind = integrate(
        [s, mu0](double theta) {
            return 2.0 * s * std::cos(theta) * normal_density(s * std::sin(theta)) *
                   normal_cdf(-s * std::cos(theta) - mu0);
        },
        0.0, pi / 2.0, 0.4);
    return std::clamp(tail + behind, 0.0, 1.0);
}

// The fitted point's distance from the star point in the Fisher metric there, for `total`
// trees, and the angle (the metric's) from its segment to each other segment.
struct Geometry {
    double mu0;
    double cosine;  // of the angle
    bool far;  // so far from the star that the law is chi-square (1 df) in double precision
};
Geometry geometry(double q, double total) {
    if (!(q > 0)) return {infinity, -0.5, true};
    const double inverse_a = 1.0 / (1.0 - 2.0 * q);
    const double inverse_q = 1.0 / q;
    // Directions of the segments from the star point: (2, -1, -1) and its permutations; the
    // metric at p is sum u_i v_i / p_i.
    const double own = 4.0 * inverse_a + 2.0 * inverse_q;
    const double other = inverse_a + 5.0 * inverse_q;
    const double cross = -2.0 * inverse_a - inverse_q;
    const double from_star = 1.0 / 3.0 - q;
    const double mu0_squared = total * from_star * from_star * own;
    const double cosine = std::clamp(cross / std::sqrt(own * other), -1.0, 1.0);
    // The statistic equals the squared distance to the fitted ray's line wherever the normal
    // vector falls in that ray's cell (within half the angle of it, in front of the vertex),
    // so either law's tail is chi-square's to within the chance of falling outside it: under
    // 2 Phi(-d) for d the mean's distance from the cell's sides (three_ray_tail,
    // one_ray_tail), 1.1e-16 past d = 8.3. The squared sines of half the angle and of half
    // the gap (2 pi - 2 angle) come from the cosine, as do the three-ray law's sines.
    const double half_angle_sine_squared = (1.0 - cosine) / 2.0;
    const double half_gap_sine_squared = 1.0 - cosine * cosine;
    const bool far = mu0_squared * std::min(half_angle_sine_squared, half_gap_sine_squared) >
                     negligible_deviation * negligible_deviation;
    return {far ? 0.0 : std::sqrt(mu0_squared), cosine, far};
}

double statistic_for(const std::array<double, 3>& counts, int species, double lambda) {
    double total = counts[0] + counts[1] + counts[2];
    const int code = species < 0 ? largest(counts) : species;
    return power_divergence(counts, fit_segment(counts, code, total).expected, lambda);
}

// The most draws whose outcomes' statistics the exact law takes from a table of logs (the
// error below grows with them; thousands of trees with few off the major topology are the
// enumeration's dearest case).
constexpr std::int64_t whole_log_draws = 8192;

// ln i for whole i up to at least `up_to`, kept by each thread (the logs never change).
const std::vector<double>& whole_logs(std::int64_t up_to) {
    thread_local std::vector<double> logs;
    while (static_cast<std::int64_t>(logs.size()) <= up_to)
        logs.push_back(std::log(static_cast<double>(logs.size())));
    return logs;
}

// statistic_for() at lambda 0 for whole counts of sum `total`: the fit as fit_segment() makes
// it, and 2 O (ln O - ln E) from a table of logs, every expected count being a whole number,
// half of one or a third of one. The difference of logs loses digits where a count is near
// its expectation: each difference is off by up to about 2 ulps of ln(total), so the sum by
// up to 4 total ulp(ln total), under 6e-11 for the totals it is used for (whole_log_draws),
// far inside the 1e-9 the exact law compares statistics to; and it costs a fraction of
// statistic_for(), which the enumeration calls for every outcome.
double whole_likelihood_ratio(const std::array<double, 3>& counts, int species, double total,
                              const std::vector<double>& logs) {
    const auto major = static_cast<std::size_t>(species < 0 ? largest(counts) : species);
    const auto log_of = [&logs](double whole) {
        return logs[static_cast<std::size_t>(static_cast<std::int64_t>(whole))];
    };
    std::array<double, 3> expected{};
    std::array<double, 3> log_expected{};
    if (3.0 * counts[major] >= total) {
        const double minor = (total - counts[major]) / 2.0;
        const double log_minor = log_of(total - counts[major]) - std::numbers::ln2;
        for (std::size_t i = 0; i < 3; ++i) {
            expected[i] = i == major ? counts[major] : minor;
            log_expected[i] = i == major ? log_of(counts[major]) : log_minor;
        }
    } else {
        expected.fill(total / 3.0);
        log_expected.fill(log_of(total) - std::log(3.0));
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < 3; ++i)
        if (counts[i] != expected[i] && counts[i] > 0)
            sum += 2.0 * counts[i] * (log_of(counts[i]) - log_expected[i]);
    return std::max(sum, 0.0);
}

// The exact chance, under the multinomial of the fitted frequencies with round(total)
// draws, of a statistic at least `observed`. Outcomes are visited by growing count off the
// fitted tree's topology until the chance left is negligible.
double exact_tail(const Fit& fit, double total, int species, double lambda, double observed) {
    const auto draws = static_cast<std::int64_t>(std::llround(total));
    const auto major = static_cast<std::size_t>(fit.major);
    const std::size_t first = major == 0 ? 1 : 0;
    const std::size_t second = major == 2 ? 1 : 2;
    const double tolerance = 1e-9 * (1.0 + observed);
    // The fit gives both other topologies q: `off` draws off the fitted tree's topology are
    // binomial (draws, 2q), and split between the two as a fair coin would. Swapping the two
    // changes neither chance nor statistic, so each pair is visited once.
    const double off_chance = 2.0 * fit.q;
    const double log_draws = std::lgamma(static_cast<double>(draws) + 1.0);
    const double mean_off = static_cast<double>(draws) * off_chance;
    const bool whole = lambda == 0.0 && draws <= whole_log_draws;
    const auto total_draws = static_cast<double>(draws);
    const std::vector<double>& logs = whole_logs(whole ? draws : 0);
    double tail = 0.0;
    for (std::int64_t off = 0; off <= draws; ++off) {
        const auto a = static_cast<double>(draws - off);
        const auto k = static_cast<double>(off);
        double level = 0.0;  // the chance of `off` draws off the fitted tree's topology
        if (off == 0) {
            level = std::pow(1.0 - off_chance, a);
        } else if (off_chance > 0.0) {
            level = std::exp(log_draws - std::lgamma(a + 1.0) - std::lgamma(k + 1.0) +
                             k * std::log(off_chance) + a * std::log1p(-off_chance));
        }
        if (level > 0.0) {
            double share = std::exp(-k * std::numbers::ln2);  // C(off, b) / 2^off from b = 0
            for (std::int64_t b = 0; 2 * b <= off; ++b) {
                const std::int64_t c = off - b;
                std::array<double, 3> outcome{};
                outcome[major] = a;
                outcome[first] = static_cast<double>(b);
                outcome[second] = static_cast<double>(c);
                const double chance = level * share * (b == c ? 1.0 : 2.0);
                const double statistic =
                    whole ? whole_likelihood_ratio(outcome, species, total_draws, logs)
                          : statistic_for(outcome, species, lambda);
                if (statistic >= observed - tolerance) tail += chance;
                share = share * static_cast<double>(off - b) / static_cast<double>(b + 1);
            }
        }
        // Past the mean the levels fall faster than geometrically: once one holds under
        // 1e-18, all the rest together hold less than the p-value's rounding.
        if (k > mean_off + 1.0 && level < 1e-18) break;
    }
    return std::clamp(tail, 0.0, 1.0);
}

// What a result depends on besides the counts; a memo holds the results of one at a time.
struct Setting {
    double lambda;
    int species;
    TreeTestMethod method;
    bool operator==(const Setting&) const = default;
};

std::uint64_t hash_counts(const std::array<double, 3>& counts) {
    std::array<std::uint64_t, 3> bits{};
    std::memcpy(bits.data(), counts.data(), sizeof bits);
    // Whole counts have their low bits all zero: each is multiplied by its own odd constant
    // and the high bits are spread down before the table takes the low ones.
    std::uint64_t hash = bits[0] * 0x9e3779b97f4a7c15ULL ^ bits[1] * 0xc2b2ae3d27d4eb4fULL ^
                         bits[2] * 0x165667b19e3779f9ULL;
    hash ^= hash >> 32;
    hash *= 0xd6e8feb86659fd93ULL;
    return hash ^ (hash >> 29);
}

// Many rows share a count triple, the few-count ones most of all, and their p-values cost
// an enumeration: each counting thread keeps memos (the test is a pure function of its
// arguments, so results do not depend on which thread asks). Open addressing in one flat
// array of 40-byte slots, at most half full (a lookup is one cache line or two, where a
// node-based map chased pointers and allocated per entry); full, it starts again empty, as it
// does when asked under another setting (a table asks under one).
class Memo {
public:
    template <typename Compute>
    TreeTestResult remembered(const Setting& setting, const std::array<double, 3>& counts,
                              Compute compute) {
        if (slots_.empty()) slots_.resize(first_slots);
        if (!(setting == setting_)) {
            forget();
            setting_ = setting;
        }
        std::size_t at = static_cast<std::size_t>(hash_counts(counts)) & (slots_.size() - 1);
        for (; !std::isnan(slots_[at].counts[0]); at = (at + 1) & (slots_.size() - 1))
            if (slots_[at].counts == counts) return slots_[at].result;
        const TreeTestResult result = compute();
        if (2 * (used_ + 1) > slots_.size()) {
            grow();
            at = static_cast<std::size_t>(hash_counts(counts)) & (slots_.size() - 1);
            while (!std::isnan(slots_[at].counts[0])) at = (at + 1) & (slots_.size() - 1);
        }
        slots_[at] = {counts, result};
        ++used_;
        return result;
    }

private:
    struct Slot {  // empty: counts NaN, which no test is asked about
        std::array<double, 3> counts{not_a_number, not_a_number, not_a_number};
        TreeTestResult result{};
    };
    static constexpr std::size_t first_slots = std::size_t{1} << 10;
    static constexpr std::size_t most_slots = std::size_t{1} << 18;  // 10 MiB a memo at most

    void forget() {
        std::fill(slots_.begin(), slots_.end(), Slot{});
        used_ = 0;
    }

    void grow() {
        if (slots_.size() >= most_slots) {  // forget everything rather than hold more
            forget();
            return;
        }
        std::vector<Slot> old(2 * slots_.size());
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (std::isnan(slot.counts[0])) continue;
            std::size_t at =
                static_cast<std::size_t>(hash_counts(slot.counts)) & (slots_.size() - 1);
            while (!std::isnan(slots_[at].counts[0])) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    Setting setting_{not_a_number, 0, TreeTestMethod::mlest};  // NaN: equal to no setting
};

// species < 0: T3.
TreeTestResult tree_test(const std::array<double, 3>& counts, int species, double lambda,
                         TreeTestMethod method) {
    for (const double count : counts)
        if (!(count >= 0) || !std::isfinite(count)) return {not_a_number, not_a_number};
    if (!std::isfinite(lambda)) return {not_a_number, not_a_number};
    // Both tests are symmetric in the topologies off the tested one: each is worked out on
    // the counts in one order (T3: ascending; T1: the species topology's, then the others
    // ascending), so that every order gives the same bits and shares one memo entry.
    std::array<double, 3> canonical = counts;
    if (species < 0) {
        std::sort(canonical.begin(), canonical.end());
    } else {
        const auto own = static_cast<std::size_t>(species);
        const double low = std::min(counts[(own + 1) % 3], counts[(own + 2) % 3]);
        const double high = std::max(counts[(own + 1) % 3], counts[(own + 2) % 3]);
        canonical = {counts[own], low, high};
        species = 0;
    }
    const double total = canonical[0] + canonical[1] + canonical[2];
    if (!(total > 0)) return {not_a_number, not_a_number};
    const int code = species < 0 ? largest(canonical) : species;
    const Fit fit = fit_segment(canonical, code, total);
    const Setting setting{lambda, species, method};
    // The statistic and its p-value, once the law is known to be worked out by `law`.
    auto judged = [&](auto law) {
        const double statistic = power_divergence(canonical, fit.expected, lambda);
        if (!(statistic > 0)) return TreeTestResult{statistic, 1.0};
        if (std::isinf(statistic)) return TreeTestResult{statistic, 0.0};  // a 0 at lambda <= -1
        return TreeTestResult{statistic, law(statistic)};
    };
    if (total < small_sample || fit.q * total < small_expected) {
        // The exact law: the dearest, and the counts that call for it recur most, so the memo
        // is asked before the statistic is worked out.
        thread_local std::array<Memo, 2> exact;  // T3's and T1's, which a row may ask both
        return exact[species < 0 ? 0 : 1].remembered(setting, canonical, [&] {
            return judged([&](double statistic) {
                return exact_tail(fit, total, species, lambda, statistic);
            });
        });
    }
    if (method == TreeTestMethod::conservative)
        return judged([&](double statistic) {
            return species < 0 ? chi1_tail(statistic)
                               : 0.5 * chi1_tail(statistic) + 0.5 * chi2_tail(statistic);
        });
    const Geometry shape = geometry(fit.q, total);
    if (shape.far) return judged(chi1_tail);
    auto law = [&](double statistic) {
        return species < 0 ? three_ray_tail(statistic, shape.mu0, shape.cosine)
                           : one_ray_tail(statistic, shape.mu0);
    };
    // The three-ray law costs about what a lookup in a memo of the few-count laws' size
    // would (and the rows near the star share few count triples): it is worked out each time.
    if (species < 0) return judged(law);
    thread_local Memo integrated;
    return integrated.remembered(setting, canonical, [&] { return judged(law); });
}

}  // namespace

TreeTestResult t3_test(const std::array<double, 3>& counts, double lambda, TreeTestMethod method) {
    return tree_test(counts, -1, lambda, method);
}

TreeTestResult t1_test(const std::array<double, 3>& counts, int species, double lambda,
                       TreeTestMethod method) {
    if (species < 0 || species > 2) return {not_a_number, not_a_number};
    return tree_test(counts, species, lambda, method);
}

}  // namespace treetally
