// The core's numerics against oracles of their own, on doubles made from the
// input (a byte picks a value of a palette of edge cases, or the next eight
// bytes are one): the exact sum against the sum as a big integer, rounded by
// the C library's hexadecimal float reading, and the small sum's mean
// against the exact sum's; the float text form against a
// round trip through strtod and the shortest digits std::to_chars finds; the
// point tree's nearest, k-nearest (bounded or not, and from a point of its
// own) and within-radius answers against the brute force, at both widths of
// its stored positions; the symmetric 3x3 eigen solver against the
// definition of an eigenpair, and against the values a matrix was made with.

#include "drovak/cloud/eigen.hpp"
#include "drovak/cloud/small_sum.hpp"
#include "drovak/exact_sum.hpp"
#include "drovak/float_text.hpp"
#include "drovak/index/build.hpp"
#include "drovak/index/nearest.hpp"
#include "drovak/index/nearest_at.hpp"
#include "drovak/index/nearest_walk.hpp"
#include "drovak/index/within.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using drovak::Vec3d;
namespace ix = drovak::index;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz: %s\n", what.c_str());
    std::abort();
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double palette[] = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              0.5,
                              2.0,
                              3.0,
                              -3.0,
                              0.1,
                              1.0 / 3.0,
                              1e-300,
                              1e300,
                              -1e300,
                              std::numeric_limits<double>::denorm_min(),
                              -std::numeric_limits<double>::denorm_min(),
                              std::numeric_limits<double>::min(),
                              std::numeric_limits<double>::max(),
                              -std::numeric_limits<double>::max(),
                              std::numeric_limits<double>::epsilon(),
                              1.0 + std::numeric_limits<double>::epsilon(),
                              9007199254740993.0,
                              1e22,
                              5e-324 * 3,
                              inf,
                              -inf,
                              std::numeric_limits<double>::quiet_NaN(),
                              -std::numeric_limits<double>::quiet_NaN(),
                              std::bit_cast<double>(std::uint64_t{0x7FF0000000000001}),
                              0x1p1023,
                              0x1p-1022,
                              0x1.fffffffffffffp-1023};
constexpr std::size_t palette_size = sizeof palette / sizeof palette[0];

struct Reader {
    const std::uint8_t* p;
    std::size_t left;

    std::uint8_t byte() {
        if (left == 0) return 0;
        --left;
        return *p++;
    }
    double value() {
        const std::uint8_t b = byte();
        if (b < 0xC0 || left < 8) return b < palette_size ? palette[b] : static_cast<double>(b % 64) - 32.0;
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        p += 8;
        left -= 8;
        return std::bit_cast<double>(v);
    }
};

// ---------------------------------------------------------------- exact sum

// A two's complement integer of 40 words, in units of 2^-1075: room for any
// sum of fewer than 2^400 doubles.
struct BigSum {
    std::uint64_t w[40] = {};
    bool nan = false, pos_inf = false, neg_inf = false;

    void add(double x) {
        const std::uint64_t b = bits(x);
        const unsigned e = (b >> 52) & 0x7FF;
        std::uint64_t m = b & ((std::uint64_t{1} << 52) - 1);
        if (e == 0x7FF) {
            (m ? nan : (b >> 63) ? neg_inf : pos_inf) = true;
            return;
        }
        if (e) m |= std::uint64_t{1} << 52;
        const unsigned shift = e ? e : 1;
        const unsigned word = shift / 64, at = shift % 64;
        std::uint64_t part[40] = {};
        part[word] = m << at;
        if (at) part[word + 1] = m >> (64 - at);
        const bool negative = b >> 63;
        unsigned __int128 carry = negative ? 1 : 0;
        for (int i = 0; i < 40; ++i) {
            const std::uint64_t v = negative ? ~part[i] : part[i];
            carry += static_cast<unsigned __int128>(w[i]) + v;
            w[i] = static_cast<std::uint64_t>(carry);
            carry >>= 64;
        }
    }

    // The value rounded by strtod from hexadecimal digits, which glibc
    // reads correctly rounded at any length.
    double rounded() const {
        if (nan || (pos_inf && neg_inf)) return std::numeric_limits<double>::quiet_NaN();
        if (pos_inf || neg_inf) return pos_inf ? inf : -inf;
        std::uint64_t m[40];
        std::copy(w, w + 40, m);
        const bool negative = m[39] >> 63;
        if (negative) {
            unsigned __int128 carry = 1;
            for (std::uint64_t& v : m) {
                carry += ~v;
                v = static_cast<std::uint64_t>(carry);
                carry >>= 64;
            }
        }
        std::string text = negative ? "-0x0" : "0x0";
        char digits[17];
        for (int i = 39; i >= 0; --i) {
            std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(m[i]));
            text += digits;
        }
        text += "p-1075";
        return std::strtod(text.c_str(), nullptr);
    }
};

void check_sum(const std::vector<double>& values, std::size_t cut) {
    drovak::ExactSum all, left, right;
    BigSum big;
    for (std::size_t i = 0; i < values.size(); ++i) {
        all.add(values[i]);
        (i < cut ? left : right).add(values[i]);
        big.add(values[i]);
    }
    left.merge(right);
    const double want = big.rounded();
    // Every NaN is the same answer.
    const auto same = [](double got, double want) {
        return std::isnan(want) ? std::isnan(got) : bits(got) == bits(want);
    };
    if (!same(all.rounded(), want) || !same(left.rounded(), want))
        fail("exact sum of " + std::to_string(values.size()) + " doubles is not the big-integer sum");
    // The small sum's mean, by whichever of its ways the terms take, is the
    // exact sum's, alone and as a coordinate of points whose others are the
    // terms reversed and negated.
    const std::size_t n = values.size();
    if (n == 0) return;
    const auto count = static_cast<double>(n);
    drovak::ExactSum reversed, negated;
    for (std::size_t i = 0; i < n; ++i) {
        reversed.add(values[n - 1 - i]);
        negated.add(-values[i]);
    }
    const double exact = all.divided(count);
    const double mean = drovak::cloud::rounded_mean(n, [&](std::size_t t) { return values[t]; });
    const Vec3d point = drovak::cloud::rounded_mean_point(
        n, [&](std::size_t t) { return Vec3d{values[t], values[n - 1 - t], -values[t]}; });
    if (!same(mean, exact) || !same(point.x, exact) || !same(point.y, reversed.divided(count)) ||
        !same(point.z, negated.divided(count)))
        fail("mean of " + std::to_string(n) + " doubles is not the exact sum's");
}

// ---------------------------------------------------------------- float text

// The significant digits of a decimal text: no sign, point, exponent, or
// leading and trailing zeros.
std::string significant(const std::string& text) {
    std::string d;
    for (char c : text.substr(0, text.find('e')))
        if (c >= '0' && c <= '9') d += c;
    d.erase(0, std::min(d.find_first_not_of('0'), d.size()));
    while (!d.empty() && d.back() == '0')
        d.pop_back();
    return d;
}

// Digits with at most one point: an optional sign, no leading zero but the
// one before a point, and no point last or zero last after one.
bool positional(const std::string& text) {
    const std::size_t first = text[0] == '-';
    const std::size_t point = text.find('.');
    if (text.size() == first || text.find_first_not_of("0123456789.", first) != std::string::npos) return false;
    if (text[first] == '0' && text.size() > first + 1 && point != first + 1) return false;
    if (point == std::string::npos) return true;
    return point > first && point + 1 < text.size() && text.back() != '0' &&
           text.find('.', point + 1) == std::string::npos;
}

void check_text(double v) {
    char out[drovak::float_text_capacity];
    const std::string text(out, drovak::write_float(out, v));
    if (std::isnan(v) || std::isinf(v)) {
        if (text != (std::isnan(v) ? "NaN" : v > 0 ? "inf" : "-inf")) fail("float text of a special value: " + text);
        return;
    }
    if (!positional(text)) fail("float text is not positional decimal: " + text);
    if (bits(std::strtod(text.c_str(), nullptr)) != bits(v)) fail("float text does not read back: " + text);
    char shortest[64];
    const auto r = std::to_chars(shortest, shortest + sizeof shortest, v, std::chars_format::scientific);
    if (significant(text) != significant(std::string(shortest, r.ptr)))
        fail("float text is not the shortest: " + text + " vs " + std::string(shortest, r.ptr));
}

// ---------------------------------------------------------------- the tree

template <class Index>
struct Built {
    explicit Built(const std::vector<Vec3d>& input) : plan(ix::plan(input.data(), input.size())) {
        points.resize(plan.n);
        indices.resize(plan.n);
        boxes.resize(plan.count ? ix::node_count(plan.depth) : 0);
        std::vector<ix::Entry<Index>> entries(plan.count);
        const auto serial = [](std::size_t tasks, std::size_t, auto&& f) {
            for (std::size_t k = 0; k < tasks; ++k)
                f(k);
        };
        tree = ix::build(plan, input.data(), points.data(), indices.data(), boxes.data(), entries.data(), serial);
    }

    ix::Plan plan;
    std::vector<Vec3d> points;
    std::vector<Index> indices;
    std::vector<ix::Box> boxes;
    ix::Tree<Index> tree;
};

// Every point by `before` from q: the brute force the tree must agree with.
std::vector<ix::Neighbour> by_distance(const std::vector<Vec3d>& cloud, const Vec3d& q) {
    std::vector<ix::Neighbour> all;
    for (std::size_t i = 0; i < cloud.size(); ++i)
        all.push_back({i, cloud[i].distance_squared(q)});
    std::sort(all.begin(), all.end(), ix::before);
    return all;
}

// The first `count` of `want`, point for point and bit for bit.
void same_ranks(const char* search, const ix::Neighbour* found, std::size_t count,
                const std::vector<ix::Neighbour>& want, std::size_t wanted) {
    if (count != wanted) fail(std::string(search) + " answered a wrong count");
    for (std::size_t j = 0; j < count; ++j) {
        if (found[j].index != want[j].index || bits(found[j].d2) != bits(want[j].d2))
            fail(std::string(search) + " differs from the brute force at rank " + std::to_string(j));
    }
}

template <class Index>
void check_tree(const std::vector<Vec3d>& cloud, const std::vector<Vec3d>& queries, double radius, std::size_t k,
                std::size_t cut) {
    const Built<Index> built(cloud);
    const std::size_t wanted = std::min(k, cloud.size());
    std::vector<ix::Neighbour> heap(wanted), found(wanted);
    for (const Vec3d& q : queries) {
        const std::vector<ix::Neighbour> brute = by_distance(cloud, q);
        same_ranks("k_nearest", found.data(), ix::k_nearest(built.tree, q, k, heap.data(), found.data()), brute,
                   wanted);
        if (std::isnan(radius)) continue;
        // Bounded: the same order among the points whose rounded distance
        // is within the radius.
        std::vector<ix::Neighbour> near;
        for (const ix::Neighbour& c : brute) {
            if (std::sqrt(c.d2) <= radius) near.push_back(c);
        }
        const std::size_t bounded =
            ix::k_nearest_within(built.tree, q, k, ix::squared_limit(radius), heap.data(), found.data());
        same_ranks("k_nearest_within", found.data(), bounded, near, std::min(wanted, near.size()));
        // And searched from a leaf that may or may not be near the query.
        if (ix::finite(q) && built.tree.count > 0) {
            const std::size_t from = ix::k_nearest_within_from(built.tree, cut % built.tree.count, q, k,
                                                               ix::squared_limit(radius), heap.data(), found.data());
            same_ranks("k_nearest_within_from", found.data(), from, near, std::min(wanted, near.size()));
        }
        std::vector<std::uint64_t> in, want;
        ix::within(built.tree, q, radius, [&](std::uint64_t i) { in.push_back(i); });
        std::sort(in.begin(), in.end());
        for (const ix::Neighbour& c : near)
            want.push_back(c.index);
        std::sort(want.begin(), want.end());
        if (in != want) fail("within differs from the brute force");
    }
    // Self-queries at a few positions of the tree's order, spread over its
    // leaves: each the answer of a query at that point.
    const std::size_t count = built.tree.count, visits = std::min<std::size_t>(count, 4);
    for (std::size_t s = 0; s < visits; ++s) {
        const std::size_t at = (cut + s * count / visits) % count;
        const std::size_t got = ix::k_nearest_at(built.tree, at, k, heap.data(), found.data());
        same_ranks("k_nearest_at", found.data(), got, by_distance(cloud, built.tree.points[at]), wanted);
    }
    // The walk, with its loops eight points at a time where the processor
    // can and one at a time: over a piece of the tree's order, as a pool's
    // piece takes it, and over other queries, the queries and then every
    // point as given. Each answer is that of the search, which answered the
    // queries as the brute force did.
    std::vector<Vec3d> asked = queries;
    asked.insert(asked.end(), cloud.begin(), cloud.end());
    std::vector<ix::Neighbour> walked(wanted);
    const auto same_search = [&](const char* walk, std::size_t got, std::size_t want) {
        if (got != want) fail(std::string(walk) + " answered a wrong count");
        for (std::size_t j = 0; j < got; ++j) {
            if (walked[j].index != found[j].index || bits(walked[j].d2) != bits(found[j].d2))
                fail(std::string(walk) + " differs from the search at rank " + std::to_string(j));
        }
    };
    for (const bool wide : {false, true}) {
        if (wide && !ix::avx512::supported) break;
        ix::NearestWalk own(built.tree, k, heap.data(), wide);
        for (std::size_t at = count > 0 ? cut % count : 0; at < count; ++at) {
            const std::size_t got = own.at(at, walked.data());
            same_search("the walk", got, ix::k_nearest_at(built.tree, at, k, heap.data(), found.data()));
        }
        ix::NearestWalk other(built.tree, k, heap.data(), wide);
        for (const Vec3d& q : asked) {
            const std::size_t got = other.query(q, walked.data());
            same_search("the walk of a query", got, ix::k_nearest(built.tree, q, k, heap.data(), found.data()));
        }
    }
}

// ---------------------------------------------------------------- eigen

// Sums in long double, whose exponent range takes any product of doubles:
// the checks neither overflow nor underflow.
using Wide = long double;
constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double tiny = std::numeric_limits<double>::denorm_min();

// What a Jacobi solver's rounding may leave: a few units in the last place
// for each of the dozen or so rotations it takes, relative to the norm of
// the matrix, and as many of the subnormals' step where its entries are
// that small (random matrices of every scale stay within a third of it).
constexpr Wide slack(Wide norm) { return 32 * eps * norm + 32 * tiny; }

// The eigen solver on a symmetric matrix of finite entries, below 2^1020 in
// magnitude so that no rotation of it overflows: values ascending, vectors
// orthonormal, each a solution of A v = lambda v; and, where A was made as
// R diag(lambda) R^T, its values those lambdas.
void check_eigen(const double (&a)[3][3], const double* lambdas) {
    const drovak::cloud::Eigen3 e =
        drovak::cloud::symmetric_eigen({a[0][0], a[0][1], a[0][2], a[1][1], a[1][2], a[2][2]});
    if (!(e.values[0] <= e.values[1] && e.values[1] <= e.values[2])) fail("eigenvalues not ascending");
    Wide norm = 0;
    for (const auto& row : a) {
        for (double x : row)
            norm += Wide{x} * x;
    }
    norm = std::sqrt(norm);
    const auto coords = [](const Vec3d& v) { return std::array<Wide, 3>{v.x, v.y, v.z}; };
    for (int i = 0; i < 3; ++i) {
        const auto v = coords(e.vectors[i]);
        for (int j = 0; j < 3; ++j) {
            const auto u = coords(e.vectors[j]);
            if (std::fabs(v[0] * u[0] + v[1] * u[1] + v[2] * u[2] - (i == j)) > 32 * eps)
                fail("eigenvectors not orthonormal");
        }
        Wide residual = 0;
        for (int r = 0; r < 3; ++r) {
            const Wide d = a[r][0] * v[0] + a[r][1] * v[1] + a[r][2] * v[2] - e.values[i] * v[r];
            residual += d * d;
        }
        if (std::sqrt(residual) > slack(norm)) fail("A v - lambda v is not small");
    }
    // The closed form, where it answers: the sweeps' smallest vector, up to
    // its sign, to within the error its gap allows.
    if (const auto closed = drovak::cloud::smallest_eigen({a[0][0], a[0][1], a[0][2], a[1][1], a[1][2], a[2][2]})) {
        const Vec3d& v = closed->vector;
        if (std::fabs(Wide{v.dot(v)} - 1) > 8 * eps) fail("the closed form's vector is not unit");
        const Vec3d off = v.cross(e.vectors[0]);
        if (std::sqrt(Wide{off.dot(off)}) > 0x1p-28) fail("the closed form's vector differs from the sweeps'");
    }
    if (!lambdas) return;
    // Weyl: rounding the made matrix moves its values by no more than the
    // rounding's own norm, half an ulp of each entry.
    std::array<double, 3> want{lambdas[0], lambdas[1], lambdas[2]};
    std::sort(want.begin(), want.end());
    const Wide largest = std::max({std::fabs(want[0]), std::fabs(want[2])});
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(Wide{e.values[i]} - want[i]) > slack(largest)) fail("eigenvalues differ from the made ones");
    }
}

// The fuzzed entry as the solver takes it: large ones brought below 2^1020.
double bounded(double x) { return std::fabs(x) >= 0x1p1020 ? std::ldexp(x, -16) : x; }

// Two matrices from seven values: the upper triangle of six of them, and
// R diag(lambda) R^T for the rotation R of a quaternion (four) and three
// lambdas, which makes close and repeated eigenvalues with vectors in any
// direction.
void check_eigen_of(const double (&seven)[7]) {
    for (double x : seven) {
        if (!std::isfinite(x)) return;
    }
    const double* u = seven;
    double a[3][3] = {{u[0], u[1], u[2]}, {u[1], u[3], u[4]}, {u[2], u[4], u[5]}};
    for (auto& row : a) {
        for (double& x : row)
            x = bounded(x);
    }
    check_eigen(a, nullptr);
    const double lambdas[3] = {bounded(u[0]), bounded(u[1]), bounded(u[2])};
    const Wide size = std::sqrt(Wide{u[3]} * u[3] + Wide{u[4]} * u[4] + Wide{u[5]} * u[5] + Wide{u[6]} * u[6]);
    if (size == 0) return;
    const Wide w = u[3] / size, x = u[4] / size, y = u[5] / size, z = u[6] / size;
    const Wide r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
                          {2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
                          {2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
    for (int i = 0; i < 3; ++i) {
        for (int j = i; j < 3; ++j) {
            Wide s = 0;
            for (int c = 0; c < 3; ++c)
                s += r[i][c] * lambdas[c] * r[j][c];
            a[i][j] = a[j][i] = static_cast<double>(s);
        }
    }
    check_eigen(a, lambdas);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader r{data, size};
    const std::size_t n = r.byte();
    const std::size_t m = r.byte() % 8;
    const std::size_t k = r.byte() % 16 + 1;
    const std::size_t cut = r.byte();
    std::vector<double> values;
    while (r.left > 0)
        values.push_back(r.value());

    check_sum(values, cut);
    for (std::size_t i = 0; i < std::min<std::size_t>(values.size(), 64); ++i)
        check_text(values[i]);

    // A cloud of n points read round the values again and again (so that
    // short inputs make duplicates), and queries from the other end.
    if (values.empty()) return 0;
    const auto at = [&](std::size_t i) { return values[i % values.size()]; };
    std::vector<Vec3d> cloud(n), queries(m);
    for (std::size_t i = 0; i < n; ++i)
        cloud[i] = {at(3 * i), at(3 * i + 1), at(3 * i + 2)};
    const std::size_t last = values.size() - 1;
    for (std::size_t i = 0; i < m; ++i)
        queries[i] = {at(last - (3 * i) % values.size()), at(last + 1 + 3 * i), at(last + 2 + 3 * i)};
    const double radius = std::fabs(at(last / 2));
    check_tree<std::uint32_t>(cloud, queries, radius, k, cut);
    check_tree<std::uint64_t>(cloud, queries, radius, k, cut);
    double seven[7];
    for (std::size_t i = 0; i < 7; ++i)
        seven[i] = at(i);
    check_eigen_of(seven);
    return 0;
}
