#pragma once
// The functions of lumora.cloud.

#include "array.hpp"
#include "bind/buffer.hpp"
#include "bind/convert.hpp"
#include "vec_list.hpp"

#include <cstdint>
#include <span>
#include <utility>

// The functions in the order of the submodule's __all__.
std::span<PyMethodDef> cloud_functions();

namespace lumora {

// The points of a voxel down-sampling and, when asked for, every input
// point's row among them (-1 for a point in no voxel).
struct Voxels {
    VecList points;
    Array<std::int64_t> inverse;
    bool with_inverse = false;
};

Voxels voxel_down_sample(const bind::RowsOf<3>& points, double size, bind::Keyword<bool, false> return_inverse);

} // namespace lumora

template <>
struct bind::Type<lumora::Voxels> {
    static record::Expr annotation() {
        return record::bitor_(record::annotation<lumora::VecList>(),
                              Type<std::tuple<lumora::VecList, lumora::Array<std::int64_t>>>::annotation());
    }
    static PyObject* wrap(lumora::Voxels&& v) {
        if (!v.with_inverse) return to_python(std::move(v.points));
        Ref points(to_python(std::move(v.points)));
        Ref inverse(to_python(v.inverse));
        return checked(PyTuple_Pack(2, points.get(), inverse.get()));
    }
};
