#include "cpus.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace hecrypt {
namespace {

// A decimal unsigned integer and nothing else: no sign, no spaces.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    const std::string_view digits(text);
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<std::size_t> affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<std::size_t>(CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online > 0) return static_cast<std::size_t>(online);
    return std::nullopt;
}

// Under cgroup v2 "cpu.max" holds "max <period>" or "<quota> <period>"; under
// v1 the quota is -1 when unlimited.
std::optional<double> cpu_limit_at(const std::filesystem::path& dir, bool cgroup_v2) {
    long long quota = 0;
    long long period = 0;
    if (cgroup_v2) {
        std::string quota_text;
        std::ifstream(dir / "cpu.max") >> quota_text >> period;
        const auto parsed = parse_count(quota_text.c_str());  // "max" does not parse
        if (!parsed) return std::nullopt;
        quota = static_cast<long long>(*parsed);
    } else {
        std::ifstream(dir / "cpu.cfs_quota_us") >> quota;
        std::ifstream(dir / "cpu.cfs_period_us") >> period;
    }
    if (quota <= 0 || period <= 0) return std::nullopt;
    return static_cast<double>(quota) / static_cast<double>(period);
}

bool has_item(std::string_view list, std::string_view item) {
    std::size_t start = 0;
    for (std::size_t comma; (comma = list.find(',', start)) != std::string_view::npos;
         start = comma + 1)
        if (list.substr(start, comma - start) == item) return true;
    return list.substr(start) == item;
}

struct CpuCgroup {
    std::string path;  // as /proc/self/cgroup names it
    bool v2 = false;
};

// The hierarchy holding the cpu controller: a v1 one if any, else the
// unified v2 hierarchy.
std::optional<CpuCgroup> own_cpu_cgroup() {
    std::ifstream file("/proc/self/cgroup");
    std::optional<CpuCgroup> found;
    for (std::string line; std::getline(file, line);) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string_view controllers =
            std::string_view(line).substr(first + 1, second - first - 1);
        if (has_item(controllers, "cpu")) return CpuCgroup{line.substr(second + 1), false};
        if (line.compare(0, first, "0") == 0 && controllers.empty())
            found = CpuCgroup{line.substr(second + 1), true};
    }
    return found;
}

// The mount of that hierarchy: where it is mounted and which of its
// cgroups the mount shows at that place.
struct CgroupMount {
    std::filesystem::path root;
    std::filesystem::path mount_point;
};

std::optional<CgroupMount> cgroup_mount(bool v2) {
    std::ifstream file("/proc/self/mountinfo");
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string field; fields >> field;) f.push_back(field);
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || f.end() - dash < 4) continue;
        const std::string& type = dash[1];
        const std::string& options = dash[3];
        if (v2 ? type == "cgroup2" : (type == "cgroup" && has_item(options, "cpu")))
            return CgroupMount{f[3], f[4]};
    }
    return std::nullopt;
}

std::optional<double> cgroup_cpu_limit() {
    const auto cgroup = own_cpu_cgroup();
    if (!cgroup) return std::nullopt;
    const auto mount = cgroup_mount(cgroup->v2);
    if (!mount) return std::nullopt;
    // A cgroup outside the mounted subtree cannot be seen; its visible
    // ancestor is the mount itself.
    const std::filesystem::path relative =
        std::filesystem::path(cgroup->path).lexically_relative(mount->root);
    const bool visible = !relative.empty() && *relative.begin() != "..";
    return smallest_cpu_limit(mount->mount_point, visible ? relative : ".", cgroup->v2);
}

}  // namespace

std::size_t pool_size_for(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                          std::size_t machine_cpus) {
    if (const auto threads = parse_count(rayon_num_threads))
        return *threads > 0 ? *threads : machine_cpus;
    if (const auto cpus = parse_count(rayon_rs_num_cpus); cpus && *cpus > 0) return *cpus;
    return machine_cpus;
}

std::optional<double> smallest_cpu_limit(const std::filesystem::path& mount_point,
                                         const std::filesystem::path& cgroup, bool cgroup_v2) {
    std::filesystem::path dir = mount_point;
    std::optional<double> smallest = cpu_limit_at(dir, cgroup_v2);
    for (const auto& part : cgroup.relative_path()) {
        if (part.empty() || part == ".") continue;
        if (part == "..") break;
        dir /= part;
        const auto limit = cpu_limit_at(dir, cgroup_v2);
        if (limit && (!smallest || *limit < *smallest)) smallest = limit;
    }
    return smallest;
}

std::size_t machine_cpus() {
    const auto cpus = affinity_cpus();
    std::optional<std::size_t> quota;
    if (const auto limit = cgroup_cpu_limit())
        quota = std::max<std::size_t>(1, static_cast<std::size_t>(*limit));
    if (cpus && quota) return std::min(*cpus, *quota);
    return cpus.value_or(quota.value_or(1));
}

std::size_t pool_size() {
    static const std::size_t size = pool_size_for(std::getenv("RAYON_NUM_THREADS"),
                                                  std::getenv("RAYON_RS_NUM_CPUS"), machine_cpus());
    return size;
}

}  // namespace hecrypt
