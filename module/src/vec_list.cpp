// The Python classes VecList and VecListIterator. Every bulk operation runs
// the core's own per-element formula over the contiguous element array on
// the worker pool, so the list and the single-vector results cannot differ.

#include "bind/define.hpp"
#include "bind/out.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"
#include "drovak/exact_sum.hpp"
#include "drovak/float_text.hpp"
#include "drovak/order.hpp"
#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace {

using drovak::order_key;
using drovak::Quat;
using drovak::RigidTransform;
using drovak::total_order_key;
using drovak::Vec3d;
using lumora::Array;
using lumora::VecList;
using lumora::VecListIterator;
using pool::Cost;
using Vectors = Array<Vec3d>;
using V = bind::Def<VecList>;
using I = bind::Def<VecListIterator>;

// ---------------------------------------------------------------- container

VecList make(bind::SequenceOf<Vec3d> list) { return {std::move(list.items)}; }

VecList empty() { return {}; }

// One copy of the source's doubles: a packed block as a block (on the pool
// when large), strided rows element by element in logical order.
VecList from_buffer(const bind::RowsOf<3>& src) {
    auto vectors = Vectors::uninitialised(src.rows);
    auto* dst = reinterpret_cast<double*>(vectors.data());
    if (const void* block = src.packed()) {
        pool::copy(dst, block, src.rows * sizeof(Vec3d));
    } else {
        src.gather(dst);
    }
    return {std::move(vectors)};
}

// The elements as rows of three doubles, for the buffer export.
bind::DoubleRows rows(const VecList& v) {
    static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>);
    return {reinterpret_cast<const double*>(v.vectors.data()), v.vectors.size(), 3};
}

std::uint64_t length(const VecList& v) { return v.vectors.size(); }

Vec3d item(const VecList& v, std::uint64_t index) {
    if (index >= v.vectors.size()) throw bind::Error{PyExc_IndexError, "Index out of bounds"};
    return v.vectors[index];
}

void append(VecList& v, const Vec3d& vec) { v.vectors.push_back(vec); }

// `other` is held shared while `v` is held exclusively, so they are never the
// same list.
void extend(VecList& v, const VecList& other) { v.vectors.append(other.vectors.data(), other.vectors.size()); }

// Both conversions are bound by making the Python objects, which only the
// calling thread may do; they read the held elements in place.
const Vectors& elements(const VecList& v) { return v.vectors; }

auto to_array(const VecList& v) {
    return bind::ListOf{v.vectors, [](const Vec3d& e) { return e.to_array(); }};
}

// Each element's text is exactly the text of Vec3d's repr.
bind::Joined repr(const VecList& v) {
    static constexpr std::string_view form = lumora::vec3d_form;
    const Vec3d* data = v.vectors.data();
    return {"[",
            pool::concat(v.vectors.size(), Cost::text, "\n", drovak::floats_text_capacity(form, 3),
                         [data](std::size_t i, char* out) {
                             return drovak::write_floats(out, form, {data[i].x, data[i].y, data[i].z});
                         }),
            "\n", "]"};
}

VecListIterator iter(const VecList& v) { return {Vectors::copy_of(v.vectors.data(), v.vectors.size())}; }

std::optional<Vec3d> next(VecListIterator& it) {
    if (it.position == it.vectors.size()) return std::nullopt;
    return it.vectors[it.position++];
}

// ---------------------------------------------------------------- bulk

// Operands are captured by value: the loop reads registers, not memory that
// the result could alias.
template <Cost C, class F>
VecList mapped(const VecList& v, F f) {
    return {pool::map(v.vectors, C, f)};
}

VecList plus(const VecList& v, const Vec3d& o) {
    return mapped<Cost::stream>(v, [o](const Vec3d& e) { return e + o; });
}
VecList minus(const VecList& v, const Vec3d& o) {
    return mapped<Cost::stream>(v, [o](const Vec3d& e) { return e - o; });
}
// Scaling multiplies or divides each component by s, exactly as the vector
// operators do, so it runs as one loop over all the components.
VecList scaled(const VecList& v, double s) {
    return {pool::map_components(v.vectors, Cost::stream, [s](double c) { return c * s; })};
}
VecList scaled_left(const VecList& v, double s) { return scaled(v, s); }
VecList divided(const VecList& v, double s) {
    return {pool::map_components(v.vectors, Cost::stream, [s](double c) { return c / s; })};
}
VecList cross(const VecList& v, const Vec3d& o) {
    return mapped<Cost::stream>(v, [o](const Vec3d& e) { return e.cross(o); });
}
VecList normalize(const VecList& v) {
    return mapped<Cost::compound>(v, [](const Vec3d& e) { return e.normalize(); });
}

// One loop per axis, so that no element pays for the choice.
VecList collapse(const VecList& v, std::uint64_t axis) {
    switch (axis) {
    case 0:
        return mapped<Cost::stream>(v, [](const Vec3d& e) { return Vec3d{0.0, e.y, e.z}; });
    case 1:
        return mapped<Cost::stream>(v, [](const Vec3d& e) { return Vec3d{e.x, 0.0, e.z}; });
    case 2:
        return mapped<Cost::stream>(v, [](const Vec3d& e) { return Vec3d{e.x, e.y, 0.0}; });
    default:
        throw bind::Error{PyExc_ValueError, "axis must be 0, 1 or 2"};
    }
}

// One result per element, into `out` when it is given.
template <Cost C, class T, class F>
bind::OutOr<T> per_element(const VecList& v, const bind::Out<T>& out, F f) {
    return bind::results<T, 1>(out, {v.vectors.size()}, [&](T* dst) { pool::map_into(v.vectors, dst, C, f); });
}

bind::OutOr<double> dot(const VecList& v, const Vec3d& o, const bind::Out<double>& out) {
    return per_element<Cost::stream>(v, out, [o](const Vec3d& e) { return e.dot(o); });
}
bind::OutOr<double> distance_squared(const VecList& v, const Vec3d& o, const bind::Out<double>& out) {
    return per_element<Cost::stream>(v, out, [o](const Vec3d& e) { return e.distance_squared(o); });
}
bind::OutOr<double> distance_to(const VecList& v, const Vec3d& o, const bind::Out<double>& out) {
    return per_element<Cost::compound>(v, out, [o](const Vec3d& e) { return e.distance_to(o); });
}
bind::OutOr<double> magnitude(const VecList& v, const bind::Out<double>& out) {
    return per_element<Cost::compound>(v, out, [](const Vec3d& e) { return e.magnitude(); });
}
bind::OutOr<bool> is_unit(const VecList& v, const bind::Out<bool>& out) {
    return per_element<Cost::compound>(v, out, [](const Vec3d& e) { return e.is_unit(); });
}

// Under the exclusive hold nobody can see the elements while they change, so
// they are rotated where they are; iterators hold their own copies.
void rotate(VecList& v, const Quat& quat) {
    pool::map_in_place(v.vectors, Cost::compound, [q = quat](const Vec3d& e) { return q.rotate(e); });
}

// The same for a rigid motion: rotation and translation in one pass.
void transform(VecList& v, const RigidTransform& motion) {
    pool::map_in_place(v.vectors, Cost::compound, [m = motion](const Vec3d& e) { return m.apply(e); });
}

VecList copy(const VecList& v) {
    auto vectors = Vectors::uninitialised(v.vectors.size());
    pool::copy(vectors.data(), v.vectors.data(), v.vectors.size() * sizeof(Vec3d));
    return {std::move(vectors)};
}

} // namespace

template <>
PyType_Spec& bind::Class<VecList>::spec() {
    static PyMethodDef methods[] = {
        V::function<&empty, "empty">(),
        V::function<&from_buffer, "from_buffer", "buffer">(),
        V::mutator<&append, "append", "vec">(),
        V::mutator<&extend, "extend", "other">(),
        V::method<&to_array, "to_array">(),
        V::method<&dot, "dot", "other", "out">(),
        V::method<&cross, "cross", "other">(),
        V::method<&distance_to, "distance_to", "other", "out">(),
        V::method<&distance_squared, "distance_squared", "other", "out">(),
        V::method<&magnitude, "magnitude", "out">(),
        V::method<&normalize, "normalize">(),
        V::method<&is_unit, "is_unit", "out">(),
        V::method<&collapse, "collapse", "axis">(),
        V::mutator<&rotate, "rotate", "quat">(),
        V::mutator<&transform, "transform", "motion">(),
        V::method<&lumora::minimum_distance_to, "minimum_distance_to", "other", "stride">(),
        V::method<&lumora::take, "take", "indices">(),
        V::method<&lumora::compress, "compress", "mask">(),
        V::method<&lumora::sum, "sum">(),
        V::method<&lumora::mean, "mean">(),
        V::method<&lumora::bounds, "bounds">(),
        V::method<&copy, "copy">(),
        bind::reduce<VecList>(),
        bind::reduce_ex<VecList>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        V::getter<&elements, "list">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        V::constructor<&make, "list">(),
        V::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        V::repr<&repr>(),
        V::length<&length>(),
        V::getitem<&item, "index">(),
        V::iter<&iter>(),
        bind::buffer_export<VecList, &rows>(),
        V::binary<Py_nb_add, &plus>(),
        V::binary<Py_nb_subtract, &minus>(),
        V::binary<Py_nb_multiply, &scaled, &scaled_left>(),
        V::binary<Py_nb_true_divide, &divided>(),
    };
    static PyType_Spec spec = V::type_spec("builtins.VecList", slots);
    return spec;
}

template <>
PyType_Spec& bind::Class<VecListIterator>::spec() {
    static PyMethodDef methods[] = {
        bind::unpicklable<VecListIterator>(),
        bind::end_methods,
    };
    static const bind::Slots slots[] = {
        I::dealloc(),
        {Py_tp_methods, methods},
        I::iter_self(),
        I::next<&next>(),
    };
    static PyType_Spec spec = I::type_spec("builtins.VecListIterator", slots, false);
    return spec;
}
