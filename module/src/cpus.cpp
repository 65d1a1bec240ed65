// The processors this process may use on Linux: the affinity mask, capped
// by a cgroup CPU quota (v2 or v1) anywhere on the way from the process's
// control group up to the top of what is mounted.

#include "cpus.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace pool {

namespace {

std::size_t affinity_cpus() {
    for (std::size_t cpus = 1024; cpus <= (1u << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) return 0;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        std::size_t count = 0;
        const int rc = sched_getaffinity(0, size, set);
        if (rc == 0) count = static_cast<std::size_t>(CPU_COUNT_S(size, set));
        CPU_FREE(set);
        if (rc == 0) return count;
        if (errno != EINVAL) return 0;
    }
    return 0;
}

// ceil(quota / period), or nullopt for no quota.
std::optional<std::size_t> quota_cpus(long long quota, long long period) {
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<std::size_t>((quota + period - 1) / period);
}

// Where a cgroup hierarchy is mounted, and which part of it the mount shows
// (not all of it inside a container).
struct CgroupMount {
    std::string point;
    std::string root;
};

// The cgroup2 mount and the cgroup v1 mount that has the cpu controller,
// from /proc/self/mountinfo: "... root mount-point ... - fstype source
// super-options".
void find_cgroup_mounts(std::optional<CgroupMount>& v2, std::optional<CgroupMount>& v1) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string w; fields >> w;)
            f.push_back(w);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const CgroupMount mount{f[4], f[3]};
        if (type == "cgroup2" && !v2) v2 = mount;
        if (type == "cgroup" && !v1) {
            std::istringstream options(dash[3]);
            for (std::string o; std::getline(options, o, ',');) {
                if (o == "cpu") v1 = mount;
            }
        }
    }
}

// The tightest CPU quota on the way from this process's control group up to
// the top of what is mounted, cgroup v2 ("cpu.max") or v1
// ("cpu.cfs_quota_us" and "cpu.cfs_period_us").
std::optional<std::size_t> cgroup_cpus() {
    std::optional<CgroupMount> v2_mount, v1_mount;
    find_cgroup_mounts(v2_mount, v1_mount);
    std::optional<std::size_t> best;
    auto take = [&](std::optional<std::size_t> n) {
        if (n && (!best || *n < *best)) best = n;
    };
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        // "hierarchy-id:controllers:path"
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool v2 = controllers.empty();
        bool cpu = false;
        std::istringstream names(controllers);
        for (std::string name; std::getline(names, name, ',');)
            cpu = cpu || name == "cpu";
        const std::optional<CgroupMount>& mount = v2 ? v2_mount : v1_mount;
        if (!mount || (!v2 && !cpu)) continue;
        std::string path = line.substr(second + 1);
        if (mount->root != "/" && path.rfind(mount->root, 0) == 0) path.erase(0, mount->root.size());
        for (;;) {
            const std::string dir = mount->point + (path == "/" ? "" : path);
            if (v2) {
                std::ifstream max(dir + "/cpu.max");
                std::string quota;
                long long period = 0;
                if (max >> quota >> period && quota != "max") take(quota_cpus(std::atoll(quota.c_str()), period));
            } else {
                long long quota = 0, period = 0;
                std::ifstream q(dir + "/cpu.cfs_quota_us");
                std::ifstream p(dir + "/cpu.cfs_period_us");
                if (q >> quota && p >> period) take(quota_cpus(quota, period));
            }
            if (path.empty() || path == "/") break;
            const auto slash = path.rfind('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
    return best;
}

} // namespace

std::size_t available_cpus() {
    std::size_t cpus = affinity_cpus();
    if (const auto quota = cgroup_cpus()) cpus = cpus ? std::min(cpus, *quota) : *quota;
    return cpus ? cpus : 1;
}

} // namespace pool
