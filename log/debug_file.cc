// Debug and start-up files; the design is in debug_file.h.
//
// The debug and the start-up file share every mechanism and differ only in
// their path and lock functions, so both go through one target record. Lines
// are read the way an 8192-byte fgets buffer would cut them (a longer line is
// several lines), but byte by byte, so NUL bytes in a file survive trimming.
#include "log/debug_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/sys_log.h"
#include "platform/framework/framework.h"

int32_t dbg_file_limit = 104857600;

namespace {

constexpr size_t kTextBuf = 8192;
constexpr size_t kLineMax = 8191;
constexpr const char *kDebugDir = "/var/log/debug";
constexpr const char *kScratch = "/var/log/debug/tmp.txt";
constexpr const char *kSystemStartup = "/var/log/debug/system-startup.log";

// Process-wide, written only by the init functions (start-up, one thread).
char process[128];
char path_dbg[512];
char path_startup[512];
dbg_hook_fn dbg_lock_func, dbg_unlock_func;
dbg_hook_fn startup_lock_func, startup_unlock_func;

struct target {
  char *path;
  size_t path_cap;
  const char *suffix;
  dbg_hook_fn *lock;
  dbg_hook_fn *unlock;
};

const target kDbg = {path_dbg, sizeof path_dbg, "dbg", &dbg_lock_func, &dbg_unlock_func};
const target kStartup = {path_startup, sizeof path_startup, "startup", &startup_lock_func,
                         &startup_unlock_func};

void writedisk_init(const target &t, int pid, dbg_hook_fn init, dbg_hook_fn lock,
                    dbg_hook_fn unlock) {
  if (getpidname(pid, process, sizeof process) != 0) {
    puts("get pid name failed");
    return;
  }
  char dir[PATH_MAX];
  snprintf(t.path, t.path_cap, "%s/%s_%s", fw_path(kDebugDir, dir, sizeof dir), process, t.suffix);
  if (access(t.path, F_OK) != 0) {
    FILE *f = fopen(t.path, "w+e");
    if (!f) return;
    fclose(f);
  }
  if (init) init();
  *t.lock = lock;
  *t.unlock = unlock;
}

void writedisk(const target &t, const char *text) {
  if (*t.lock) (*t.lock)();
  if (t.path[0]) {
    if (static_cast<int32_t>(get_dbgfile_size(t.path)) > dbg_file_limit) remove_half_msg(t.path);
    if (FILE *f = fopen(t.path, "a+e")) {
      fputs(text, f);
      fclose(f);
    }
  }
  if (*t.unlock) (*t.unlock)();
}

// Formats (at most kTextBuf - 1 characters) and appends to t's file.
void vwritedisk(const target &t, const char *fmt, va_list ap) {
  char text[kTextBuf];
  vsnprintf(text, sizeof text, fmt, ap);
  writedisk(t, text);
}

// One line as an 8192-byte fgets would return it; its length, 0 at the end.
size_t read_line(FILE *f, char *buf) {
  size_t n = 0;
  int c;
  while (n < kLineMax && (c = getc(f)) != EOF) {
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

// Number of lines of path, or -1 when it cannot be opened.
long count_lines(const char *path) {
  FILE *f = fopen(path, "re");
  if (!f) return -1;
  char line[kLineMax];
  long n = 0;
  while (read_line(f, line) > 0) n++;
  fclose(f);
  return n;
}

void create_flag_file(const char *fixed) {
  char path[PATH_MAX];
  fw_path(fixed, path, sizeof path);
  if (access(path, F_OK) == 0) return;
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0777);
  if (fd < 0) {
    printf("creat log file [%s] fails\n", path);
    return;
  }
  close(fd);
}

}  // namespace

int getpidname(int pid, char *name, size_t cap) {
  if (pid == 0 || !name || cap == 0) return -1;
  char status[64];
  snprintf(status, sizeof status, "/proc/%d/status", pid);
  FILE *f = fopen(status, "re");
  if (!f) return -1;
  char line[1024];
  bool ok = fgets(line, sizeof line, f) != nullptr;
  fclose(f);
  if (!ok) return -1;
  char *save = nullptr;
  if (!strtok_r(line, " \t\n\v\f\r", &save)) return -1;
  const char *word = strtok_r(nullptr, " \t\n\v\f\r", &save);
  if (!word) return -1;
  snprintf(name, cap, "%s", word);
  return 0;
}

void daemon_dbg_writedisk_init(int pid, dbg_hook_fn init, dbg_hook_fn lock, dbg_hook_fn unlock) {
  writedisk_init(kDbg, pid, init, lock, unlock);
}

void daemon_startup_writedisk_init(int pid, dbg_hook_fn init, dbg_hook_fn lock,
                                   dbg_hook_fn unlock) {
  writedisk_init(kStartup, pid, init, lock, unlock);
}

void daemon_dbg_writedisk_release() {}
void daemon_startup_writedisk_release() {}

void daemon_dbg_writedisk(const char *fmt, ...) {
  if (!fmt) return;
  va_list ap;
  va_start(ap, fmt);
  vwritedisk(kDbg, fmt, ap);
  va_end(ap);
}

void daemon_startup_writedisk(const char *fmt, ...) {
  if (!fmt) return;
  va_list ap;
  va_start(ap, fmt);
  vwritedisk(kStartup, fmt, ap);
  va_end(ap);
}

void system_startup_writedisk(const char *fmt, ...) {
  if (!fmt) return;
  char text[kTextBuf];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  char path[PATH_MAX];
  FILE *f = fopen(fw_path(kSystemStartup, path, sizeof path), "ae");
  if (!f) {
    printf("fopen %s failed\n", path);
    return;
  }
  fputs(text, f);
  fclose(f);
}

int64_t get_dbgfile_size(const char *path) {
  if (!path) {
    puts("file name is NULL in get file size");
    return 0;
  }
  struct stat st;
  return stat(path, &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

int remove_half_msg(const char *path) {
  if (!path) {
    puts("path is NULL in remove half msg");
    return -1;
  }
  long drop = count_lines(path);
  if (drop < 0) return -1;
  drop /= 2;
  FILE *in = fopen(path, "re");
  if (!in) return -1;
  char scratch[PATH_MAX];
  FILE *out = fopen(fw_path(kScratch, scratch, sizeof scratch), "w+e");
  if (!out) {
    fclose(in);
    return -1;
  }
  char line[kLineMax];
  size_t n;
  for (long number = 1; (n = read_line(in, line)) > 0; number++)
    if (number > drop) fwrite(line, 1, n, out);
  fclose(in);
  bool written = fclose(out) == 0;
  if (!written) {
    remove(scratch);
    return -1;
  }
  remove(path);
  return rename(scratch, path) == 0 ? 0 : -1;
}

void debug_log_kernel_init() { create_flag_file(sys_log_instance[2].flag_path); }
void debug_log_comlog_init() { create_flag_file(sys_log_instance[1].flag_path); }
