// How many workers the pool gets: the environment first, then the CPUs the
// process may use.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>

namespace hecrypt {

// Number of workers of the pool; settled once, from the environment and the
// CPUs available to the process.
std::size_t pool_size();

// The sizing rule on its own: the values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (null when unset) and the machine's CPU count.
std::size_t pool_size_for(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                          std::size_t machine_cpus);

// CPUs in the affinity mask, capped by the cgroup CPU quota; 1 if unknown.
std::size_t machine_cpus();

// The smallest quota / period found in the cgroup directories from
// `mount_point` down to `mount_point / cgroup`, if any sets a quota.
std::optional<double> smallest_cpu_limit(const std::filesystem::path& mount_point,
                                         const std::filesystem::path& cgroup, bool cgroup_v2);

}  // namespace hecrypt
