// Stand-in for the appliance's configuration and daemon framework: process
// registration, configuration queries, core-file housekeeping, the CPU count
// granted to the process, the system debug zone and the fixed-path root.
//
// Everything here runs on the main thread during start-up unless a function
// says otherwise. Nothing in this library includes daemon headers.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Fixed paths -----------------------------------------------------------
// Every fixed path of the program (/var/log/..., /dev/console, /dev/pts, the
// core folder, the cgroup tree, the debug zone) is resolved here, below a root
// that is "" on an appliance. Tests and private set-ups move the root with the
// environment variable ML_DAEMON_ROOT or fw_set_root().

// Writes root + fixed into out (cap bytes, always terminated) and returns out.
// A path that does not fit is cut; callers give PATH_MAX-sized buffers.
const char *fw_path(const char *fixed, char *out, size_t cap);
// Replaces the root. Not thread-safe: call before any thread that resolves paths.
void fw_set_root(const char *root);
const char *fw_root();
// mkdir -p of the folder that holds path; 0 or -1 with errno set.
int fw_make_parent_dirs(const char *path);

// ---- Registration ----------------------------------------------------------
// Registers the calling process as the one running instance of name: takes an
// exclusive lock on <root>/var/run/<name>.pid and writes the pid into it. The
// lock lives as long as the process. 0 on success; -1 when another instance
// holds it or the lock file cannot be made (a line on stderr says which).
int dn_init(const char *name);

// ---- Configuration ---------------------------------------------------------
// Makes the queries below usable and maps the system debug zone. conf_end
// undoes both; the zone pointer is null afterwards.
void conf_init();
void conf_end();

// The global system configuration record. Only core_file_count (the sixth
// 32-bit field) has a meaning for this program; the rest is the platform's.
struct sys_global_conf {
  uint32_t version;
  uint32_t reserved[4];
  uint32_t core_file_count;  // number of core files to keep
  uint32_t reserved2[10];
};
static_assert(offsetof(sys_global_conf, core_file_count) == 5 * sizeof(uint32_t));

constexpr int NCFG_GLOBAL_CONF = 9430;

// Starts a query of configuration item id; returns a handle, or null when the
// item does not exist. The global record (NCFG_GLOBAL_CONF) is read from the
// file <root>/etc/ml_daemon/global.conf ("core_file_count = N" lines, '#'
// comments); without the file there is no record.
void *nCfg_query(int id);
// Completes a query: the record behind the handle, or null (null handle, or a
// file that cannot be read). The record is owned by the framework.
sys_global_conf *cmf_query_update(void *handle);

// ---- Core files ------------------------------------------------------------
// Keeps the newest `keep` files of <root>/var/core whose names begin with
// prefix and removes the older ones. Returns the number removed, or -1 when
// the folder cannot be read (a missing folder removes nothing and gives 0).
int dn_clean_coredump(int keep, const char *prefix);

// ---- CPUs ------------------------------------------------------------------
// The CPUs granted to the process: the cgroup CPU quota (v2 cpu.max, else v1
// cpu.cfs_quota_us / cpu.cfs_period_us) rounded up, when one is set; otherwise
// the number of CPUs in the affinity mask. 0 only for a quota of 0.
int get_cpus_from_cgroup();
// The same with an explicit cgroup mount point and /proc/self/cgroup file.
int fw_cpus_from_cgroup(const char *cgroup_root, const char *self_cgroup);

// ---- System debug zone -----------------------------------------------------
// A shared-memory zone (a file mapped shared, <root>/dev/shm/ml_debug_zone)
// that operators write to change the message level of a running daemon.
constexpr size_t ML_DEBUG_ZONE_SIZE = 81920;
constexpr size_t ML_DEBUG_LEVEL_OFFSET = 76288;
// Mapped by conf_init, null when the zone cannot be mapped or after conf_end.
extern unsigned char *nCfg_debug_zone;
// Reads and writes the 32-bit level word of a mapped zone; safe from any
// thread and any process that maps the zone.
uint32_t fw_debug_zone_level(const unsigned char *zone);
void fw_debug_zone_set_level(unsigned char *zone, uint32_t level);
// Maps the zone without conf_init (for operator tools); null on failure.
unsigned char *fw_debug_zone_map();
