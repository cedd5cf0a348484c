// The persistent system log: fixed-size files of fixed-length record slots that
// wrap around, so the most recent lines of the appliance survive a restart and
// can be read by another process long after they were written.
//
// Writers: this daemon writes only log 1 (the daemon log) through message();
// other programs of the appliance write logs 0 and 2 and read any of them.
//
// File format (every integer little-endian, whatever the host):
//   0  u32 magic 0x5A5A5A5A ("ZZZZ")     4  i32 next_index (slot written next)
//   8  i64 next_offset (24 + next_index * record_len)
//  16  i32 count (records stored, <= max_records)   20  i32 max_records
//  24  slots of record_len bytes: "YYYY-MM-DD hh:mm:ss <text>", NUL padded.
// Once count reaches max_records the oldest record is in slot next_index.
//
// Locking: one System V semaphore per log (key sem_key, value 1 = free) taken
// with SEM_UNDO around every read-modify-write of the file, so writers and
// readers of all processes are serialised and a holder that dies releases it.
// sys_log_init must have created the semaphore (once per boot, by any
// program); without it every lock fails and nothing is stored. A semaphore
// that already exists is never set again, since another program may hold it.
// Formatting and
// the time stamp happen before the lock. The file is opened and closed on
// every operation, so nothing is cached across processes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SYS_LOG_COUNT = 3;   // logs 0 (emergency), 1 (daemon), 2 (kernel)
constexpr int SYS_LOG_DAEMON = 1;  // the log this daemon writes
constexpr uint32_t SYS_LOG_MAGIC = 0x5A5A5A5Au;
constexpr int SYS_LOG_HEADER_SIZE = 24;

// One log. path and flag_path are fixed paths, resolved below fw_root() at
// the moment of use. Written only at start (or by tests), read by all threads.
struct sys_log_desc {
  int32_t max_records;  // number of record slots of a new file
  int32_t record_len;   // bytes per slot
  char path[128];
  uint32_t magic;
  int32_t sem_key;    // System V key of the log's semaphore
  uint8_t need_flag;  // 1: records are taken only while flag_path exists
  char flag_path[128];
};

// The header as held in memory; on disk it is the 24 little-endian bytes above.
struct sys_log_header {
  uint32_t magic;
  int32_t next_index;
  int64_t next_offset;
  int32_t count;
  int32_t max_records;
};

// Indexed by log number. Mutable so that tests can shrink a log and give it a
// private semaphore key.
extern sys_log_desc sys_log_instance[SYS_LOG_COUNT];

// Creates the log's semaphore and sets it free (value 1); a semaphore that
// already exists is used as it is, whoever holds it. 0, or -1 with a line on
// standard output.
int sys_log_init(int log);
// Takes the log's semaphore, waiting as long as needed. 0, or -1 (no
// semaphore, bad log number) with a line on standard output.
int sys_log_lock(int log);
// Releases the log's semaphore. 0, or -1 with a line on standard output.
int sys_log_unlock(int log);
// Opens (creating) the log file and fills *header. A file whose header is
// short or foreign gets a new empty header. Returns the descriptor, which the
// caller closes, or -1 (file not opened or header unusable, nothing written).
// Call with the lock held.
int sys_log_open(int log, sys_log_header *header);
// Appends one time-stamped record. 0, or -1 when nothing was stored (flag file
// missing, lock or file failure).
int sys_log_print(int log, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Copies size bytes (capped at record_len) of record index (0 = oldest) into
// buffer. 0, or -1 for a bad argument, an index out of range or a short read.
int sys_log_read(int log, int index, char *buffer, int size);
// Writes every record, oldest first, as text into a new file at path (taken as
// given, not below the root). 0, or -1 when the file cannot be created.
int sys_log_read_to_file(int log, const char *path);
// Empties the log by writing a new header; the file keeps its size. 0 or -1.
int sys_log_clear(int log);

// Header (de)serialisation, exposed for tools that inspect log files.
void sys_log_encode_header(const sys_log_header &h, unsigned char out[SYS_LOG_HEADER_SIZE]);
sys_log_header sys_log_decode_header(const unsigned char in[SYS_LOG_HEADER_SIZE]);
