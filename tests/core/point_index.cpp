// Builds the core's point tree with 32-bit and with 64-bit positions over the
// points read from standard input, and answers the queries that follow with
// both. Input: n, then n lines of three doubles, then query lines of three
// doubles and a radius, every double as the integer of its bits. Output per
// query and width: "<width> <position>:<distance bits> ..." for the 7
// nearest, then "<width> <position> ..." for those within the radius; then
// per width, and per walk (one point at a time, then eight where the
// processor can), a line "<width><n|w> <position> <position>:<distance
// bits> ..." for every finite point: the 7 nearest of the point at that
// position, as the walk over the tree's order finds them; then the same
// with "q" for every point as a query in the order given, its 12 nearest.

#include "drovak/index/build.hpp"
#include "drovak/index/nearest.hpp"
#include "drovak/index/nearest_walk.hpp"
#include "drovak/index/within.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

using drovak::Vec3d;
namespace ix = drovak::index;

bool read_double(double& v) {
    unsigned long long bits;
    if (std::scanf(" %llu", &bits) != 1) return false;
    v = std::bit_cast<double>(static_cast<std::uint64_t>(bits));
    return true;
}

bool read_vec(Vec3d& v) { return read_double(v.x) && read_double(v.y) && read_double(v.z); }

void print(const ix::Neighbour* found, std::size_t k) {
    for (std::size_t i = 0; i < k; ++i) {
        std::printf(" %llu:%llu", static_cast<unsigned long long>(found[i].index),
                    static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(std::sqrt(found[i].d2))));
    }
}

// The tree of one width and the arrays behind it.
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

    void answer(int width, const Vec3d& q, double radius) const {
        std::vector<ix::Neighbour> heap(7), found(7);
        const std::size_t k = ix::k_nearest(tree, q, 7, heap.data(), found.data());
        std::printf("%d", width);
        print(found.data(), k);
        std::vector<std::uint64_t> in;
        ix::within(tree, q, radius, [&](std::uint64_t i) { in.push_back(i); });
        std::sort(in.begin(), in.end());
        std::printf("\n%d", width);
        for (std::uint64_t i : in)
            std::printf(" %llu", static_cast<unsigned long long>(i));
        std::printf("\n");
    }

    void walk(int width, bool wide, const std::vector<Vec3d>& input) const {
        std::vector<ix::Neighbour> room(12), found(12);
        ix::NearestWalk own(tree, 7, room.data(), wide);
        for (std::size_t j = 0; j < tree.count; ++j) {
            const std::size_t k = own.at(j, found.data());
            std::printf("%d%c %llu", width, wide ? 'w' : 'n', static_cast<unsigned long long>(tree.indices[j]));
            print(found.data(), k);
            std::printf("\n");
        }
        ix::NearestWalk other(tree, 12, room.data(), wide);
        for (std::size_t i = 0; i < input.size(); ++i) {
            const std::size_t k = other.query(input[i], found.data());
            std::printf("%d%cq %zu", width, wide ? 'w' : 'n', i);
            print(found.data(), k);
            std::printf("\n");
        }
    }

    ix::Plan plan;
    std::vector<Vec3d> points;
    std::vector<Index> indices;
    std::vector<ix::Box> boxes;
    ix::Tree<Index> tree;
};

} // namespace

int main() {
    std::size_t n;
    if (std::scanf(" %zu", &n) != 1) return 1;
    std::vector<Vec3d> input(n);
    for (Vec3d& v : input) {
        if (!read_vec(v)) return 1;
    }
    const Built<std::uint32_t> narrow(input);
    const Built<std::uint64_t> wide(input);
    Vec3d q;
    double radius;
    while (read_vec(q) && read_double(radius)) {
        narrow.answer(32, q, radius);
        wide.answer(64, q, radius);
    }
    for (const bool eight : {false, true}) {
        narrow.walk(32, eight, input);
        wide.walk(64, eight, input);
    }
}
