// Debug and start-up files: per-process text files under /var/log/debug that a
// program appends to ("<name>_dbg", "<name>_startup", named after the process
// as the process table knows it), the shared system start-up log, and the
// flag files that let the system log take records.
//
// Size: before every write to a per-process file, a file larger than
// dbg_file_limit loses its older half of lines (remove_half_msg), so a file
// never grows much beyond the limit and always keeps the newest lines.
//
// Locking: this unit keeps no lock of its own. A caller that shares a file
// between processes or threads passes lock/unlock functions at
// initialisation; they bracket the size check, the trimming and the append.
// The init functions run once at start, before any thread writes. The system
// start-up log relies on the file system's appends alone.
//
// Every failure is reported only on standard output, or not at all; callers
// are never told.
#pragma once

#include <cstddef>
#include <cstdint>

using dbg_hook_fn = void (*)();

// Size limit in bytes of the debug and start-up files (100 MiB at start).
extern int32_t dbg_file_limit;

// Name of process pid (second word of the first line of /proc/<pid>/status)
// into name (cap bytes, always terminated). 0, or -1 (pid 0, no buffer,
// status unreadable) leaving name unchanged.
int getpidname(int pid, char *name, size_t cap);

// Sets up the debug file of process pid: creates it when missing, runs init,
// keeps lock/unlock (either may be null). On failure (name unknown, file not
// creatable) prints a line or nothing, calls nothing and stores no functions.
void daemon_dbg_writedisk_init(int pid, dbg_hook_fn init, dbg_hook_fn lock, dbg_hook_fn unlock);
// The same for the start-up file.
void daemon_startup_writedisk_init(int pid, dbg_hook_fn init, dbg_hook_fn lock, dbg_hook_fn unlock);
// Kept for symmetry with the init functions; nothing to release.
void daemon_dbg_writedisk_release();
void daemon_startup_writedisk_release();

// Appends the formatted text (at most 8191 characters) to the debug file,
// trimming it first when over the limit. Writes nothing before init.
void daemon_dbg_writedisk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The same for the start-up file.
void daemon_startup_writedisk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Appends to /var/log/debug/system-startup.log; no lock, no size limit.
void system_startup_writedisk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Size in bytes of the file at path (taken as given), 0 when it cannot be
// examined or path is null.
int64_t get_dbgfile_size(const char *path);
// Drops the older half (count / 2) of the lines of the file at path. 0, or -1
// with the file unchanged.
int remove_half_msg(const char *path);

// Create the kernel / daemon flag file of the system log when missing.
void debug_log_kernel_init();
void debug_log_comlog_init();
