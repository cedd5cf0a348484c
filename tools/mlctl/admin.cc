// mlctl debug-level and log dump: the daemon's message level in the system
// debug zone, and its persistent system log.
//
// The log is read record by record through the system log's own reader,
// which takes the log's semaphore for each record. When the semaphore does
// not exist no program can have written since boot (every writer takes it),
// so the file is then read directly, without a lock and without creating it.
#include <fcntl.h>
#include <limits.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/sys_log.h"
#include "platform/framework/framework.h"
#include "tools/mlctl/mlctl.h"

namespace mlctl {
namespace {

constexpr int kDaemonLog = 1;

// Reads the records without the semaphore; false when the file is unusable.
bool read_unlocked(const sys_log_desc &d, std::vector<std::string> *out) {
  char path[PATH_MAX];
  fw_path(d.path, path, sizeof path);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT;  // never written: an empty log
  unsigned char raw[SYS_LOG_HEADER_SIZE];
  bool ok = pread(fd, raw, sizeof raw, 0) == static_cast<ssize_t>(sizeof raw);
  sys_log_header h = sys_log_decode_header(raw);
  ok = ok && h.magic == d.magic && h.max_records > 0 && h.count >= 0 && h.count <= h.max_records;
  std::vector<char> buf(static_cast<size_t>(d.record_len) + 1, '\0');
  const int start = ok && h.count == h.max_records ? h.next_index : 0;
  for (int i = 0; ok && i < h.count; i++) {
    off_t at = SYS_LOG_HEADER_SIZE + static_cast<off_t>((i + start) % h.max_records) * d.record_len;
    ok = pread(fd, buf.data(), static_cast<size_t>(d.record_len), at) == d.record_len;
    if (ok) out->emplace_back(buf.data());
  }
  close(fd);
  return ok;
}

bool read_locked(const sys_log_desc &d, std::vector<std::string> *out) {
  char path[PATH_MAX];
  if (access(fw_path(d.path, path, sizeof path), F_OK) != 0) return true;  // not made yet
  std::vector<char> buf(static_cast<size_t>(d.record_len) + 1, '\0');
  for (int i = 0; sys_log_read(kDaemonLog, i, buf.data(), d.record_len) == 0; i++)
    out->emplace_back(buf.data());
  return true;
}

void write_records(FILE *f, const std::vector<std::string> &records, bool json) {
  if (json) fprintf(f, "[");
  for (size_t i = 0; i < records.size(); i++) {
    std::string r = records[i];
    while (!r.empty() && (r.back() == '\n' || r.back() == '\r')) r.pop_back();
    if (!json) {
      fprintf(f, "%s\n", r.c_str());
      continue;
    }
    const size_t stamp = 19;  // "YYYY-MM-DD hh:mm:ss"
    std::string time = r.substr(0, stamp), text = r.size() > stamp + 1 ? r.substr(stamp + 1) : "";
    fprintf(f, "%s\n{\"time\":%s,\"text\":%s}", i ? "," : "", json_quote(time).c_str(),
            json_quote(text).c_str());
  }
  if (json) fprintf(f, "\n]\n");
}

}  // namespace

int cmd_debug_level(const options &o) {
  if (o.args.size() > 1) return usage_error("debug-level", "takes at most one level");
  if (o.args.size() == 1 && (o.args[0].size() != 1 || o.args[0][0] < '0' || o.args[0][0] > '5'))
    return usage_error("debug-level", "the level is 0 (errors only) to 5 (everything), not '%s'",
                       o.args[0].c_str());
  unsigned char *zone = fw_debug_zone_map();
  if (!zone) return service_error("debug-level", "cannot map the system debug zone");
  if (o.args.size() == 1) fw_debug_zone_set_level(zone, static_cast<uint32_t>(o.args[0][0] - '0'));
  const uint32_t level = fw_debug_zone_level(zone);
  if (o.json)
    printf("{\"level\":%u}\n", level);
  else
    printf("%u\n", level);
  return kOk;
}

int cmd_log(const options &o) {
  if (o.args.empty() || o.args[0] != "dump" || o.args.size() > 2)
    return usage_error("log", "usage: log dump [FILE]");
  const sys_log_desc &d = sys_log_instance[kDaemonLog];
  std::vector<std::string> records;
  const bool have_sem = semget(d.sem_key, 1, 0) >= 0;
  if (!(have_sem ? read_locked(d, &records) : read_unlocked(d, &records))) {
    char path[PATH_MAX];
    return service_error("log", "cannot read %s", fw_path(d.path, path, sizeof path));
  }
  FILE *f = o.args.size() == 2 ? fopen(o.args[1].c_str(), "we") : stdout;
  if (!f) return usage_error("log", "cannot create %s: %s", o.args[1].c_str(), strerror(errno));
  write_records(f, records, o.json);
  const bool written = fflush(f) == 0;
  if (f != stdout) fclose(f);
  if (!written) return service_error("log", "writing the records failed");
  if (o.args.size() == 2)
    fprintf(stderr, "%zu records written to %s\n", records.size(), o.args[1].c_str());
  return kOk;
}

}  // namespace mlctl
