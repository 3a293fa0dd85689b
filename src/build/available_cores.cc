#include "build/available_cores.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace vrim {

namespace {

std::string_view TrimAsciiSpace(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' ||
                        s.front() == '\n')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// A whole decimal integer, or none.
std::optional<int64_t> ParseInteger(std::string_view s) {
  s = TrimAsciiSpace(s);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(),
                                            value);
  if (s.empty() || error != std::errc() || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<size_t> CoresFromQuota(int64_t quota, int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const int64_t cores = (quota + period - 1) / period;  // rounds up
  return static_cast<size_t>(std::max<int64_t>(1, cores));
}

// The file's contents, or none when it cannot be read.
std::optional<std::string> ReadSmallFile(const char* path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  return text;
}

size_t AffinityCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<size_t>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

std::optional<size_t> CgroupCores() {
  if (const auto line = ReadSmallFile("/sys/fs/cgroup/cpu.max")) {
    return CoresFromCpuMax(*line);
  }
  for (const std::string dir :
       {"/sys/fs/cgroup/cpu/", "/sys/fs/cgroup/cpu,cpuacct/",
        "/sys/fs/cgroup/"}) {
    const auto quota = ReadSmallFile((dir + "cpu.cfs_quota_us").c_str());
    const auto period = ReadSmallFile((dir + "cpu.cfs_period_us").c_str());
    if (quota && period) return CoresFromCfs(*quota, *period);
  }
  return std::nullopt;
}

}  // namespace

std::optional<size_t> CoresFromCpuMax(std::string_view line) {
  line = TrimAsciiSpace(line);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const auto quota = ParseInteger(line.substr(0, space));
  const auto period = ParseInteger(line.substr(space + 1));
  if (!quota || !period) return std::nullopt;  // "max": no limit
  return CoresFromQuota(*quota, *period);
}

std::optional<size_t> CoresFromCfs(std::string_view quota,
                                   std::string_view period) {
  const auto q = ParseInteger(quota);
  const auto p = ParseInteger(period);
  if (!q || !p) return std::nullopt;
  return CoresFromQuota(*q, *p);
}

size_t AvailableCores() {
  const size_t affinity = AffinityCores();
  const std::optional<size_t> quota = CgroupCores();
  return quota ? std::min(affinity, *quota) : affinity;
}

}  // namespace vrim
