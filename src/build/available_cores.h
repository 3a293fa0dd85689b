// How many cores this process may run on at once: the CPUs of its affinity
// mask, lowered by a cgroup CPU quota when one is set (v2 cpu.max, v1
// cpu.cfs_quota_us over cpu.cfs_period_us; a fractional quota rounds up).
#ifndef VRIM_AVAILABLE_CORES_H_
#define VRIM_AVAILABLE_CORES_H_

#include <cstddef>
#include <optional>
#include <string_view>

namespace vrim {

// At least 1. Reads the affinity mask and /sys/fs/cgroup on every call.
size_t AvailableCores();

// The cores a cgroup v2 cpu.max line ("200000 100000", "max 100000")
// allows, or none when it sets no limit or cannot be read.
std::optional<size_t> CoresFromCpuMax(std::string_view line);

// The cores a cgroup v1 quota and period (the contents of cpu.cfs_quota_us
// and cpu.cfs_period_us) allow, or none when the quota is -1 (no limit) or
// either cannot be read.
std::optional<size_t> CoresFromCfs(std::string_view quota,
                                   std::string_view period);

}  // namespace vrim

#endif  // VRIM_AVAILABLE_CORES_H_
