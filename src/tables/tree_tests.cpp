#include "tables/tree_tests.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <unordered_map>

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
            sum += o > 0 ? 2.0 * e * std::log(e / o) : infinity;
        } else if (o == 0) {
            // O^(lambda + 1) E^-lambda - O: 0 above lambda = -1, unbounded at or below it.
            if (lambda < -1.0) sum += infinity;
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

// P(X > h, Y > k) for standard normals of correlation r (|r| < 1): the product of the
// margins plus the integral of the density's derivative in r from 0 to r, which with
// r = sin(theta) is (1 / 2 pi) exp(-(h^2 - 2 h k sin(theta) + k^2) / (2 cos^2(theta))) over
// theta in [0, asin r], smooth there; ten Gauss-Legendre points take it to the last digits
// for |r| below 0.8.
double upper_orthant(double h, double k, double r) {
    const double margins = normal_cdf(-h) * normal_cdf(-k);
    const double end = std::asin(r);
    if (end == 0.0) return margins;
    const double squares = (h * h + k * k) / 2.0;
    const double sum = integrate(
        [h, k, squares](double theta) {
            const double sine = std::sin(theta);
            return std::exp((sine * h * k - squares) / (1.0 - sine * sine));
        },
        0.0, end, 1.0);
    return std::clamp(margins + sum / (2.0 * pi), 0.0, 1.0);
}

// The integral over b >= s of phi(b - mb) Phi(ma - k b), k >= 0: the chance that a standard
// normal pair about (ma, mb) has b >= s and lies on the ray's side of a line through the
// vertex at slope 1/k. In t = b - mb, with c = ma - k mb, it is P(T >= s - mb, Z <= c - k T)
// for independent standard normals, and with W = (Z + k T) / sqrt(1 + k^2) (correlation
// rho = k / sqrt(1 + k^2) with T) an orthant of the pair (T, -W). With `beyond`, the chance
// that it lies on the line's other side (Phi(k b - ma)): the orthant of (T, W).
double side_integral(double s, double mb, double ma, double k, bool beyond = false) {
    const double low = s - mb;
    const double scale = std::sqrt(1.0 + k * k);
    const double c = (ma - k * mb) / scale;
    const double rho = k / scale;
    return beyond ? upper_orthant(low, c, rho) : upper_orthant(low, -c, -rho);
}

// The tail beyond s^2 of the squared distance from a standard normal pair to one ray, over
// the points nearer that ray than the others: those within `left` of it on one side and
// `right` on the other (both below 90 degrees). (ma, mb): the mean in the ray's frame.
double ray_tail(double s, double ma, double mb, double left, double right) {
    return side_integral(s, mb, ma, 1.0 / std::tan(left)) +
           side_integral(s, -mb, ma, 1.0 / std::tan(right));
}

// The same for the ray whose line the mean lies on (mb = 0), as the chi-square tail less the
// points beyond the ray's cell, small far from the vertex.
double own_ray_tail(double x, double s, double ma, double left, double right) {
    return chi1_tail(x) - side_integral(s, 0.0, ma, 1.0 / std::tan(left), true) -
           side_integral(s, 0.0, ma, 1.0 / std::tan(right), true);
}

// P(X > x) for X the squared distance from N(mean, I) to three rays from a vertex at angles
// 0, alpha and -beta, the mean on ray 0 at distance mu0 from the vertex.
double three_ray_tail(double x, double mu0, double alpha, double beta) {
    if (!(x > 0)) return 1.0;
    const double s = std::sqrt(x);
    // Far from the vertex the other rays and the vertex's wedge hold under e^-50 of the mass.
    const double gap = 2.0 * pi - alpha - beta;
    if (mu0 * std::sin(std::min({alpha, beta, gap}) / 2.0) > 10.0) return chi1_tail(x);
    // Near the vertex the ray's own cell holds a share of the tail worked out directly; far
    // from it, nearly all of it, and the complement keeps the precision.
    const double own = mu0 > 3.0 ? own_ray_tail(x, s, mu0, alpha / 2.0, beta / 2.0)
                                 : ray_tail(s, mu0, 0.0, alpha / 2.0, beta / 2.0);
    const double first =
        ray_tail(s, mu0 * std::cos(alpha), -mu0 * std::sin(alpha), gap / 2.0, alpha / 2.0);
    // Rays placed alike about ray 0 hold mirror images of one law.
    const double second =
        alpha == beta ? first
                      : ray_tail(s, mu0 * std::cos(beta), mu0 * std::sin(beta), beta / 2.0,
                                 gap / 2.0);
    const double tail = own + first + second;
    return std::clamp(tail, 0.0, 1.0);
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
    double angle;
    bool far;  // so far from the star that the law is chi-square (1 df) to e^-50
};
Geometry geometry(double q, double total) {
    if (!(q > 0)) return {infinity, 2.0 * pi / 3.0, true};
    const double a = 1.0 - 2.0 * q;
    // Directions of the segments from the star point: (2, -1, -1) and its permutations; the
    // metric at p is sum u_i v_i / p_i.
    const double own = 4.0 / a + 2.0 / q;
    const double other = 1.0 / a + 5.0 / q;
    const double cross = -2.0 / a - 1.0 / q;
    const double mu0 = std::sqrt(total) * (1.0 / 3.0 - q) * std::sqrt(own);
    const double cosine = std::clamp(cross / std::sqrt(own * other), -1.0, 1.0);
    const double angle = std::acos(cosine);
    // Both laws keep under e^-50 of their tail off chi-square's once the rays' cells and the
    // vertex are this far (three_ray_tail, one_ray_tail).
    const double gap = 2.0 * pi - 2.0 * angle;
    return {mu0, angle, mu0 * std::sin(std::min(angle, gap) / 2.0) > 10.0};
}

double statistic_for(const std::array<double, 3>& counts, int species, double lambda) {
    double total = counts[0] + counts[1] + counts[2];
    const int code = species < 0 ? largest(counts) : species;
    return power_divergence(counts, fit_segment(counts, code, total).expected, lambda);
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
                if (statistic_for(outcome, species, lambda) >= observed - tolerance) tail += chance;
                share = share * static_cast<double>(off - b) / static_cast<double>(b + 1);
            }
        }
        // Past the mean the levels fall faster than geometrically: once one holds under
        // 1e-18, all the rest together hold less than the p-value's rounding.
        if (k > mean_off + 1.0 && level < 1e-18) break;
    }
    return std::clamp(tail, 0.0, 1.0);
}

struct Key {
    std::array<double, 3> counts;
    int species;
    double lambda;
    TreeTestMethod method;
    bool operator==(const Key& other) const {
        return counts == other.counts && species == other.species && lambda == other.lambda &&
               method == other.method;
    }
};
struct KeyHash {
    std::size_t operator()(const Key& key) const {
        std::uint64_t hash = 1469598103934665603ULL;
        auto mix = [&hash](double value) {
            std::uint64_t bits = 0;
            std::memcpy(&bits, &value, sizeof bits);
            hash = (hash ^ bits) * 1099511628211ULL;
            hash ^= hash >> 29;
        };
        for (const double count : key.counts) mix(count);
        mix(static_cast<double>(key.species));
        mix(key.lambda);
        mix(static_cast<double>(key.method));
        return static_cast<std::size_t>(hash);
    }
};

// Many rows share a count triple, the few-count ones most of all, and their p-values cost
// an integral or an enumeration: each counting thread keeps a memo of each (the test is a
// pure function of its arguments, so results do not depend on which thread asks), apart so
// that the many integrals never push out the dearer enumerations.
constexpr std::size_t memo_limit = std::size_t{1} << 17;  // some 15 MB a thread at most
using Memo = std::unordered_map<Key, TreeTestResult, KeyHash>;

template <typename Compute>
TreeTestResult remembered(Memo& memo, const Key& key, Compute compute) {
    if (const auto found = memo.find(key); found != memo.end()) return found->second;
    const TreeTestResult result = compute();
    if (memo.size() >= memo_limit) memo.clear();
    memo.emplace(key, result);
    return result;
}

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
    const double statistic = power_divergence(canonical, fit.expected, lambda);
    if (!(statistic > 0)) return {statistic, 1.0};
    if (std::isinf(statistic)) return {statistic, 0.0};  // a count of 0 at lambda <= -1
    const Key key{canonical, species, lambda, method};
    if (total < small_sample || fit.q * total < small_expected) {
        // The exact law: the dearest, and the counts that call for it recur most.
        thread_local Memo exact;
        return remembered(exact, key, [&] {
            return TreeTestResult{statistic, exact_tail(fit, total, species, lambda, statistic)};
        });
    }
    if (method == TreeTestMethod::conservative)
        return {statistic, species < 0 ? chi1_tail(statistic)
                                       : 0.5 * chi1_tail(statistic) + 0.5 * chi2_tail(statistic)};
    const Geometry shape = geometry(fit.q, total);
    if (shape.far) return {statistic, chi1_tail(statistic)};
    thread_local Memo integrated;
    return remembered(integrated, key, [&] {
        const double p = species < 0
                             ? three_ray_tail(statistic, shape.mu0, shape.angle, shape.angle)
                             : one_ray_tail(statistic, shape.mu0);
        return TreeTestResult{statistic, p};
    });
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
