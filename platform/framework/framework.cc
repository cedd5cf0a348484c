// Configuration and daemon framework stand-in. See framework.h for the
// contract of each call; this file keeps the mechanics.
#include "platform/framework/framework.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string &root_storage() {
  static std::string root = [] {
    const char *env = getenv("ML_DAEMON_ROOT");
    return std::string(env ? env : "");
  }();
  return root;
}

int g_instance_fd = -1;
pid_t g_instance_pid = -1;  // a forked child is a process of its own
sys_global_conf g_global_conf;
int g_global_query;  // the handle nCfg_query gives out: its address

// Reads a whole small text file; false when it cannot be opened.
bool read_text(const char *path, std::string &out) {
  FILE *f = fopen(path, "re");
  if (!f) return false;
  char buf[4096];
  size_t n;
  out.clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return true;
}

}  // namespace

unsigned char *nCfg_debug_zone = nullptr;

const char *fw_path(const char *fixed, char *out, size_t cap) {
  if (!out || cap == 0) return out;
  snprintf(out, cap, "%s%s", root_storage().c_str(), fixed ? fixed : "");
  return out;
}

void fw_set_root(const char *root) { root_storage() = root ? root : ""; }

const char *fw_root() { return root_storage().c_str(); }

int fw_make_parent_dirs(const char *path) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return 0;
  p.resize(slash);
  for (size_t i = 1; i <= p.size(); i++) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
  }
  return 0;
}

int dn_init(const char *name) {
  if (!name || !*name || strchr(name, '/')) return -1;
  if (g_instance_fd >= 0 && g_instance_pid == getpid()) return 0;
  char fixed[PATH_MAX], path[PATH_MAX];
  snprintf(fixed, sizeof fixed, "/var/run/%s.pid", name);
  fw_path(fixed, path, sizeof path);
  if (fw_make_parent_dirs(path) != 0) {
    fprintf(stderr, "%s: cannot create the folder of %s: %s\n", name, path, strerror(errno));
    return -1;
  }
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    fprintf(stderr, "%s: cannot open %s: %s\n", name, path, strerror(errno));
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char other[32] = "";
    ssize_t n = pread(fd, other, sizeof other - 1, 0);
    other[n > 0 ? n : 0] = '\0';
    other[strcspn(other, "\n")] = '\0';
    fprintf(stderr, "%s: another instance is already running (pid %s, lock %s)\n", name,
            *other ? other : "unknown", path);
    close(fd);
    return -1;
  }
  char pid[32];
  int len = snprintf(pid, sizeof pid, "%d\n", (int)getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, len, 0) != len) {
    // The lock is what matters; an unwritten pid only makes the refusal line poorer.
  }
  g_instance_fd = fd;
  g_instance_pid = getpid();
  return 0;
}

void conf_init() {
  if (!nCfg_debug_zone) nCfg_debug_zone = fw_debug_zone_map();
}

void conf_end() {
  if (nCfg_debug_zone) {
    munmap(nCfg_debug_zone, ML_DEBUG_ZONE_SIZE);
    nCfg_debug_zone = nullptr;
  }
}

void *nCfg_query(int id) {
  if (id != NCFG_GLOBAL_CONF) return nullptr;
  char path[PATH_MAX];
  fw_path("/etc/ml_daemon/global.conf", path, sizeof path);
  if (access(path, R_OK) != 0) return nullptr;
  return &g_global_query;
}

sys_global_conf *cmf_query_update(void *handle) {
  if (handle != &g_global_query) return nullptr;
  char path[PATH_MAX];
  fw_path("/etc/ml_daemon/global.conf", path, sizeof path);
  std::string text;
  if (!read_text(path, text)) return nullptr;
  sys_global_conf conf{};
  conf.version = 1;
  conf.core_file_count = 3;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    line.erase(std::find(line.begin(), line.end(), '#'), line.end());
    char key[64];
    unsigned long value;
    if (sscanf(line.c_str(), " %63[a-z_] = %lu", key, &value) == 2 &&
        strcmp(key, "core_file_count") == 0 && value <= UINT32_MAX) {
      conf.core_file_count = static_cast<uint32_t>(value);
    }
  }
  g_global_conf = conf;
  return &g_global_conf;
}

int dn_clean_coredump(int keep, const char *prefix) {
  if (!prefix || !*prefix) return -1;
  if (keep < 0) keep = 0;
  char dir[PATH_MAX];
  fw_path("/var/core", dir, sizeof dir);
  DIR *d = opendir(dir);
  if (!d) return errno == ENOENT ? 0 : -1;
  struct Core {
    std::string path;
    struct timespec mtime;
  };
  std::vector<Core> cores;
  size_t plen = strlen(prefix);
  while (struct dirent *e = readdir(d)) {
    if (strncmp(e->d_name, prefix, plen) != 0) continue;
    std::string p = std::string(dir) + "/" + e->d_name;
    struct stat st;
    if (lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    cores.push_back({p, st.st_mtim});
  }
  closedir(d);
  if (cores.size() <= static_cast<size_t>(keep)) return 0;
  // Oldest first; equal times fall back to the name so the choice is stable.
  std::sort(cores.begin(), cores.end(), [](const Core &a, const Core &b) {
    if (a.mtime.tv_sec != b.mtime.tv_sec) return a.mtime.tv_sec < b.mtime.tv_sec;
    if (a.mtime.tv_nsec != b.mtime.tv_nsec) return a.mtime.tv_nsec < b.mtime.tv_nsec;
    return a.path < b.path;
  });
  int removed = 0;
  for (size_t i = 0; i + keep < cores.size(); i++) {
    if (unlink(cores[i].path.c_str()) == 0) removed++;
  }
  return removed;
}

namespace {

// CPUs from a quota and a period; -1 when no quota is set.
int cpus_from_quota(long long quota, long long period) {
  if (quota < 0 || period <= 0) return -1;
  return static_cast<int>((quota + period - 1) / period);
}

// The cgroup path of this process for a v2 hierarchy ("0::/path") or for the
// v1 controller cpu ("N:cpu,cpuacct:/path"); "" when not listed.
std::string own_cgroup(const std::string &self, bool v2) {
  size_t pos = 0;
  while (pos < self.size()) {
    size_t end = self.find('\n', pos);
    if (end == std::string::npos) end = self.size();
    std::string line = self.substr(pos, end - pos);
    pos = end + 1;
    size_t c1 = line.find(':');
    size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
    if (c2 == std::string::npos) continue;
    std::string ctrls = line.substr(c1 + 1, c2 - c1 - 1);
    if (v2 && line.compare(0, c1, "0") == 0 && ctrls.empty()) return line.substr(c2 + 1);
    if (!v2) {
      std::string list = "," + ctrls + ",";
      if (list.find(",cpu,") != std::string::npos) return line.substr(c2 + 1);
    }
  }
  return "";
}

int quota_v2(const std::string &dir) {
  std::string text;
  if (!read_text((dir + "/cpu.max").c_str(), text)) return -2;
  char q[32];
  long long period = 0;
  if (sscanf(text.c_str(), "%31s %lld", q, &period) != 2) return -2;
  if (strcmp(q, "max") == 0) return -1;
  return cpus_from_quota(atoll(q), period);
}

int quota_v1(const std::string &dir) {
  std::string q, p;
  if (!read_text((dir + "/cpu.cfs_quota_us").c_str(), q) ||
      !read_text((dir + "/cpu.cfs_period_us").c_str(), p))
    return -2;
  return cpus_from_quota(atoll(q.c_str()), atoll(p.c_str()));
}

}  // namespace

int fw_cpus_from_cgroup(const char *cgroup_root, const char *self_cgroup) {
  std::string root = cgroup_root ? cgroup_root : "", self;
  if (self_cgroup) read_text(self_cgroup, self);
  // Most specific first: this process's own group, then the mount's root
  // (inside a container the root is the container's own group).
  std::string v2 = own_cgroup(self, true);
  for (const std::string &dir : {root + v2, root}) {
    int n = quota_v2(dir);
    if (n >= 0) return n;
    if (n == -1) break;  // cpu.max says "max": no quota at this level
  }
  std::string v1 = own_cgroup(self, false);
  for (const char *ctrl : {"/cpu,cpuacct", "/cpu"}) {
    for (const std::string &dir : {root + ctrl + v1, root + ctrl}) {
      int n = quota_v1(dir);
      if (n >= 0) return n;
    }
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) return CPU_COUNT(&set);
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<int>(n) : 1;
}

int get_cpus_from_cgroup() {
  char root[PATH_MAX], self[PATH_MAX];
  fw_path("/sys/fs/cgroup", root, sizeof root);
  fw_path("/proc/self/cgroup", self, sizeof self);
  return fw_cpus_from_cgroup(root, self);
}

unsigned char *fw_debug_zone_map() {
  char path[PATH_MAX];
  fw_path("/dev/shm/ml_debug_zone", path, sizeof path);
  if (fw_make_parent_dirs(path) != 0) return nullptr;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(ML_DEBUG_ZONE_SIZE) &&
                              ftruncate(fd, ML_DEBUG_ZONE_SIZE) != 0)) {
    close(fd);
    return nullptr;
  }
  void *p = mmap(nullptr, ML_DEBUG_ZONE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<unsigned char *>(p);
}

uint32_t fw_debug_zone_level(const unsigned char *zone) {
  if (!zone) return 0;
  return __atomic_load_n(reinterpret_cast<const uint32_t *>(zone + ML_DEBUG_LEVEL_OFFSET),
                         __ATOMIC_RELAXED);
}

void fw_debug_zone_set_level(unsigned char *zone, uint32_t level) {
  if (!zone) return;
  __atomic_store_n(reinterpret_cast<uint32_t *>(zone + ML_DEBUG_LEVEL_OFFSET), level,
                   __ATOMIC_RELAXED);
}
