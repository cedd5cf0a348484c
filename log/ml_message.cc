// Console and terminal messages; the design is in ml_message.h.
//
// A terminal is written only when its mode has the other-execute bit: that is
// how an operator's shell says "send me the appliance messages", and a test of
// the bit (not of the file type) is all the decision there is. The console and
// terminals are opened non-blocking so that a stuck terminal never stalls a
// daemon thread; a short or failed write just loses the line there.
#include "log/ml_message.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "log/sys_log.h"
#include "platform/framework/framework.h"

int is_sys_log_stop = 0;

namespace {

constexpr size_t kMessageBuf = 8192;
constexpr size_t kMessage0Buf = 1024;

const char *const kLevelNames[] = {"mld_error", "mld_alert", "mld_warn",
                                   "mld_info",  "mld_trace", "mld_debug"};

bool tty_message_enabled(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && (st.st_mode & S_IXOTH) != 0;
}

bool is_pts_number(const char *name) {
  if (!*name) return false;
  for (const char *p = name; *p; p++)
    if (*p < '0' || *p > '9') return false;
  return true;
}

void write_tty(const char *path, const char *text) {
  if (!tty_message_enabled(path)) return;
  int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text, strlen(text));
  (void)ignored;
  close(fd);
}

void write_terminals(const char *text) {
  char dir_path[PATH_MAX];
  DIR *dir = opendir(fw_path("/dev/pts", dir_path, sizeof dir_path));
  if (!dir) return;
  while (struct dirent *e = readdir(dir)) {
    if (!is_pts_number(e->d_name)) continue;
    char path[PATH_MAX + 256];
    snprintf(path, sizeof path, "%s/%s", dir_path, e->d_name);
    write_tty(path, text);
  }
  closedir(dir);
}

// The common tail of message() and its variants: log (unless stopped), then
// broadcast; errno is as it was before.
void log_and_broadcast(const char *text) {
  int saved_errno = errno;
  if (!is_sys_log_stop) sys_log_print(SYS_LOG_DAEMON, "%s", text);
  broadcast_message(text, 1, 1);
  errno = saved_errno;
}

// Formats into at most cap - 1 characters (cap <= kMessageBuf), then logs
// and broadcasts.
void vmessage(size_t cap, const char *fmt, va_list ap) {
  int saved_errno = errno;
  char text[kMessageBuf];
  vsnprintf(text, cap, fmt, ap);
  log_and_broadcast(text);
  errno = saved_errno;
}

}  // namespace

const char *mld_level_name(int level) {
  if (level < 0 || level >= static_cast<int>(sizeof kLevelNames / sizeof kLevelNames[0])) return "";
  return kLevelNames[level];
}

void broadcast_message(const char *text, int to_console, int to_terminals) {
  if (!text) return;
  int saved_errno = errno;
  if (to_console) {
    char console[PATH_MAX];
    write_tty(fw_path("/dev/console", console, sizeof console), text);
  }
  if (to_terminals) write_terminals(text);
  errno = saved_errno;
}

void message(const char *fmt, ...) {
  if (!fmt) return;
  va_list ap;
  va_start(ap, fmt);
  vmessage(kMessageBuf, fmt, ap);
  va_end(ap);
}

void message_cmdb(const char *text) {
  if (text) log_and_broadcast(text);
}

void message0(const char *fmt, ...) {
  if (!fmt) return;
  va_list ap;
  va_start(ap, fmt);
  vmessage(kMessage0Buf, fmt, ap);
  va_end(ap);
}

void message1(const char *text) { broadcast_message(text, 1, 1); }

int message2(const char *fmt, ...) {
  if (is_sys_log_stop) return is_sys_log_stop;
  if (!fmt) return -1;
  int saved_errno = errno;
  char text[kMessageBuf];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  int rc = sys_log_print(SYS_LOG_DAEMON, "%s", text);
  errno = saved_errno;
  return rc;
}

void mld_error_message(int broadcast, const char *fmt, ...) {
  if (!fmt) return;
  int saved_errno = errno;
  char text[kMessageBuf];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  if (broadcast) log_and_broadcast(text);
  fputs(text, stdout);
  errno = saved_errno;
}
