// System log files and their semaphores; the design is in sys_log.h.
//
// A header with the right magic is trusted only when its fields agree with
// each other (capacity above 0, next_index and count in range, next_offset
// matching next_index): anything else would make us divide by zero or write
// far outside the slots, so such a file is refused (-1) until sys_log_clear
// rewrites its header.
#include "log/sys_log.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/framework/framework.h"

sys_log_desc sys_log_instance[SYS_LOG_COUNT] = {
    {10240, 128, "/home/emerglog", SYS_LOG_MAGIC, 7349, 0, ""},
    {50000, 256, "/var/log/debug/daemon.log", SYS_LOG_MAGIC, 7359, 1,
     "/var/log/debug/daemon_log_flag"},
    {50000, 256, "/var/log/debug/kernel.log", SYS_LOG_MAGIC, 7369, 1,
     "/var/log/debug/kernel_log_flag"},
};

namespace {

// Largest slot we agree to handle; the record is built in heap buffers of
// this size, and no log of the appliance comes near it.
constexpr int32_t kMaxRecordLen = 65536;
constexpr size_t kDumpBufSize = 1024;

// The descriptor of log, or null when the number or its sizes are unusable.
const sys_log_desc *desc_of(int log) {
  if (log < 0 || log >= SYS_LOG_COUNT) return nullptr;
  const sys_log_desc *d = &sys_log_instance[log];
  if (d->max_records <= 0 || d->record_len < 2 || d->record_len > kMaxRecordLen) return nullptr;
  return d;
}

void put_le(unsigned char *p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint64_t get_le(const unsigned char *p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

sys_log_header empty_header(const sys_log_desc &d) {
  return {d.magic, 0, SYS_LOG_HEADER_SIZE, 0, d.max_records};
}

bool header_consistent(const sys_log_header &h, const sys_log_desc &d) {
  if (h.max_records <= 0) return false;
  if (h.next_index < 0 || h.next_index >= h.max_records) return false;
  if (h.count < 0 || h.count > h.max_records) return false;
  return h.next_offset == SYS_LOG_HEADER_SIZE + static_cast<int64_t>(h.next_index) * d.record_len;
}

bool write_header(int fd, const sys_log_header &h) {
  unsigned char raw[SYS_LOG_HEADER_SIZE];
  sys_log_encode_header(h, raw);
  return pwrite(fd, raw, sizeof raw, 0) == static_cast<ssize_t>(sizeof raw);
}

int open_log_file(const sys_log_desc &d) {
  char path[PATH_MAX];
  return open(fw_path(d.path, path, sizeof path), O_RDWR | O_CREAT | O_CLOEXEC, 0777);
}

// semget of an existing semaphore, then one semop; EINTR is retried as well,
// so a signal arriving while we wait does not cost the caller its record.
int sem_step(const sys_log_desc &d, short delta, const char *who, const char *no_sem) {
  int id = semget(d.sem_key, 1, 0);
  if (id < 0) {
    printf("%s: %s\n", who, no_sem);
    return -1;
  }
  struct sembuf op = {0, delta, SEM_UNDO};
  while (semop(id, &op, 1) != 0) {
    if (errno == EAGAIN || errno == EINTR) continue;
    printf("%s: semop failed\n", who);
    return -1;
  }
  return 0;
}

// "YYYY-MM-DD hh:mm:ss" of now, local time, into out.
void time_stamp(char *out, size_t cap) {
  time_t now = time(nullptr);
  struct tm tm_now;
  if (!localtime_r(&now, &tm_now)) memset(&tm_now, 0, sizeof tm_now);
  snprintf(out, cap, "%04d-%02d-%02d %02d:%02d:%02d", tm_now.tm_year + 1900, tm_now.tm_mon + 1,
           tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min, tm_now.tm_sec);
}

// Stores one record in the slot next_index and advances the header. Lock held.
int write_record(int log, const sys_log_desc &d, const char *record) {
  sys_log_header h;
  int fd = sys_log_open(log, &h);
  if (fd < 0) return -1;
  if (lseek(fd, h.next_offset, SEEK_SET) != h.next_offset ||
      write(fd, record, d.record_len) != d.record_len) {
    close(fd);
    return -1;
  }
  h.next_index++;
  h.next_offset += d.record_len;
  if (h.next_index >= h.max_records) {
    h.next_index = 0;
    h.next_offset = SYS_LOG_HEADER_SIZE;
  }
  if (h.count < h.max_records) h.count++;
  bool ok = write_header(fd, h);
  close(fd);
  return ok ? 0 : -1;
}

// Reads record index (0 = oldest) of an open file. Lock held.
int read_slot(const sys_log_desc &d, int fd, const sys_log_header &h, int index, char *buf,
              int size) {
  if (index < 0 || index >= h.count) return -1;
  int start = h.count == h.max_records ? h.next_index : 0;
  int64_t slot = (static_cast<int64_t>(index) + start) % h.max_records;
  off_t at = SYS_LOG_HEADER_SIZE + slot * d.record_len;
  return pread(fd, buf, size, at) == size ? 0 : -1;
}

}  // namespace

void sys_log_encode_header(const sys_log_header &h, unsigned char out[SYS_LOG_HEADER_SIZE]) {
  put_le(out + 0, h.magic, 4);
  put_le(out + 4, static_cast<uint32_t>(h.next_index), 4);
  put_le(out + 8, static_cast<uint64_t>(h.next_offset), 8);
  put_le(out + 16, static_cast<uint32_t>(h.count), 4);
  put_le(out + 20, static_cast<uint32_t>(h.max_records), 4);
}

sys_log_header sys_log_decode_header(const unsigned char in[SYS_LOG_HEADER_SIZE]) {
  sys_log_header h;
  h.magic = static_cast<uint32_t>(get_le(in + 0, 4));
  h.next_index = static_cast<int32_t>(get_le(in + 4, 4));
  h.next_offset = static_cast<int64_t>(get_le(in + 8, 8));
  h.count = static_cast<int32_t>(get_le(in + 16, 4));
  h.max_records = static_cast<int32_t>(get_le(in + 20, 4));
  return h;
}

// The key is machine-wide and other programs may hold the lock right now, so
// only the process that creates the semaphore sets it free: setting the value
// of a semaphore in use would let a second writer in and clear the undo
// entries of every process, leaving the count wrong from then on.
int sys_log_init(int log) {
  if (log < 0 || log >= SYS_LOG_COUNT) return -1;
  const int key = sys_log_instance[log].sem_key;
  int id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0666);
  if (id < 0 && errno == EEXIST && semget(key, 1, 0) >= 0) return 0;  // in use as it is
  if (id < 0) {
    printf("%s create semaphore failed\n", "sys_log_init");
    return -1;
  }
  if (semctl(id, 0, SETVAL, 1) < 0) {
    printf("%s semctl failed\n", "sys_log_init");
    return -1;
  }
  return 0;
}

int sys_log_lock(int log) {
  if (log < 0 || log >= SYS_LOG_COUNT) return -1;
  return sem_step(sys_log_instance[log], -1, "sys_log_lock", "can't get semaphore");
}

int sys_log_unlock(int log) {
  if (log < 0 || log >= SYS_LOG_COUNT) return -1;
  return sem_step(sys_log_instance[log], 1, "sys_log_unlock", "semget failed");
}

int sys_log_open(int log, sys_log_header *header) {
  const sys_log_desc *d = desc_of(log);
  if (!d || !header) return -1;
  int fd = open_log_file(*d);
  if (fd < 0) {
    char path[PATH_MAX];
    printf("%s: open/create %s failed\n", "sys_log_open", fw_path(d->path, path, sizeof path));
    return -1;
  }
  unsigned char raw[SYS_LOG_HEADER_SIZE];
  ssize_t got = pread(fd, raw, sizeof raw, 0);
  if (got == static_cast<ssize_t>(sizeof raw)) {
    sys_log_header h = sys_log_decode_header(raw);
    if (h.magic == d->magic) {
      if (!header_consistent(h, *d)) {
        close(fd);
        return -1;
      }
      *header = h;
      return fd;
    }
  }
  sys_log_header fresh = empty_header(*d);
  if (!write_header(fd, fresh)) {
    close(fd);
    return -1;
  }
  *header = fresh;
  return fd;
}

int sys_log_print(int log, const char *fmt, ...) {
  const sys_log_desc *d = desc_of(log);
  if (!d || !fmt) return -1;
  if (d->need_flag == 1) {
    char flag[PATH_MAX];
    if (access(fw_path(d->flag_path, flag, sizeof flag), F_OK) != 0) return -1;
  }
  std::vector<char> text(d->record_len, 0);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text.data(), text.size(), fmt, ap);
  va_end(ap);
  char stamp[80];  // room for any int fields, so the format cannot be cut
  time_stamp(stamp, sizeof stamp);
  std::vector<char> record(d->record_len, 0);
  snprintf(record.data(), record.size() - 1, "%s %s", stamp, text.data());

  if (sys_log_lock(log) != 0) return -1;
  int rc = write_record(log, *d, record.data());
  if (sys_log_unlock(log) != 0) rc = -1;
  return rc;
}

int sys_log_read(int log, int index, char *buffer, int size) {
  const sys_log_desc *d = desc_of(log);
  if (!d || !buffer || size < 0) return -1;
  if (size > d->record_len) size = d->record_len;
  if (sys_log_lock(log) != 0) return -1;
  sys_log_header h;
  int fd = sys_log_open(log, &h);
  int rc = -1;
  if (fd >= 0) {
    rc = read_slot(*d, fd, h, index, buffer, size);
    close(fd);
  }
  if (sys_log_unlock(log) != 0) rc = -1;
  return rc;
}

int sys_log_read_to_file(int log, const char *path) {
  const sys_log_desc *d = desc_of(log);
  if (!d || !path) return -1;
  FILE *out = fopen(path, "w+e");
  if (!out) return -1;
  // Zeroed once; the last byte is never read into, so every fputs stops
  // inside the buffer even for a slot without a NUL.
  char buf[kDumpBufSize] = {};
  int size = d->record_len < static_cast<int>(sizeof buf) ? d->record_len
                                                          : static_cast<int>(sizeof buf) - 1;
  for (int i = 0; sys_log_read(log, i, buf, size) == 0; i++) fputs(buf, out);
  fflush(out);
  fsync(fileno(out));
  fclose(out);
  return 0;
}

int sys_log_clear(int log) {
  const sys_log_desc *d = desc_of(log);
  if (!d) return -1;
  if (sys_log_lock(log) != 0) return -1;
  char path[PATH_MAX];
  fw_path(d->path, path, sizeof path);
  int fd = open_log_file(*d);
  if (fd < 0) {
    printf("%s: open/create %s failed\n", "sys_log_clear", path);
    sys_log_unlock(log);
    return -1;
  }
  int rc = 0;
  if (!write_header(fd, empty_header(*d))) {
    printf("%s: write header to %s failed\n", "sys_log_clear", path);
    rc = -1;
  }
  close(fd);
  if (sys_log_unlock(log) != 0) rc = -1;
  return rc;
}
