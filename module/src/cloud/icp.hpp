#pragma once
// Registration in lumora.cloud: icp, evaluate and the result of icp.

#include "bind/pickle.hpp"
#include "drovak/rigid.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

// The functions in the order of the submodule's __all__.
std::span<PyMethodDef> icp_functions();

namespace lumora {

// What icp found: the motion, the share of source points paired within the
// distance and the RMS of their distances under it, the iterations run and
// whether they stopped by the tolerance. Words only, no padding, so that
// its bytes are its pickle.
struct IcpResult {
    drovak::RigidTransform transform;
    double fitness;
    double rmse;
    std::uint64_t iterations;
    std::uint64_t converged;
};

} // namespace lumora

template <>
inline constexpr bool bind::immutable<lumora::IcpResult> = true;

template <>
struct bind::Pickled<lumora::IcpResult> {
    static std::span<const std::byte> bytes(const lumora::IcpResult& r) { return std::as_bytes(std::span(&r, 1)); }
    // ValueError (naming `name`) unless `data` is a result's bytes with a
    // rotation of finite, non-zero magnitude and a converged flag of 0 or 1.
    static lumora::IcpResult restore(std::span<const std::byte> data, const char* name);
};
