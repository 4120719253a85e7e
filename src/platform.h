// The little the library needs from the operating system, behind one interface so that callers carry no
// #ifdef: one implementation file per platform, chosen by the build. Paths are UTF-8 on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct ae_thread;

// A thread as the platform names it (a pthread_t, a HANDLE), kept in the worker's record.
using ae_os_handle = uintptr_t;

// Starts t's routine on t's session on a new thread with default attributes, through the platform's entry
// routine (ae_tramp), and stores its handle in t. False if no thread could be created.
bool ae_thread_create(ae_thread *t);

// Waits, without a time limit, for t's thread to end, then releases its handle.
void ae_thread_join_close(ae_thread *t);

// Which file a path or an open descriptor is: the same identity means the same file, whatever the names.
struct ae_file_id {
    uint64_t volume;
    uint64_t index;
    bool operator==(const ae_file_id &) const = default;
};

enum class ae_path_kind { missing, regular, other };

// What is at path, following symbolic links; *id is filled for an existing path.
ae_path_kind ae_path_stat(const char *path, ae_file_id *id);

// Identity and kind of an open descriptor.
bool ae_fd_stat(int fd, ae_file_id *id, bool *regular);

// File descriptors. The read-only open never creates and refuses a directory, and never waits: a FIFO
// with no writer opens at once (its reads then wait in ae_wait_readable, where an interrupt reaches
// them). The exclusive create fails if the path exists. Both return -1 on failure, with errno saying
// why. Reads and writes return the byte count, 0 at the end, -1 on error; a read returns AE_WOULD_BLOCK
// when a FIFO or pipe has nothing yet.
constexpr int64_t AE_WOULD_BLOCK = -2;
int ae_open_read(const char *path);
int ae_create_exclusive(const char *path);
int64_t ae_read(int fd, void *buf, size_t n);
// A read at offset of a regular file: one call where the system has one (pread), so that a reader that
// moves about pays no separate seek; the file position is then left as it was.
int64_t ae_read_at(int fd, void *buf, size_t n, int64_t offset);
int64_t ae_write(int fd, const void *buf, size_t n);
int64_t ae_seek(int fd, int64_t offset, int whence);  // whence as for lseek; the new position or -1
int64_t ae_fd_size(int fd);                           // -1 if unknown
int ae_close(int fd);                                 // 0, or -1 when buffered data could not be stored

// Waits up to timeout_ms for a FIFO or pipe to have data or reach its end; false when the time passed.
// Where reads of such files block anyway (Windows), returns true at once.
bool ae_wait_readable(int fd, int timeout_ms);

// Tells the kernel the file will be read from front to back (a no-op where there is no such hint).
void ae_advise_sequential(int fd);

// Asks the kernel to start reading [pos, pos + len) into its cache now, without waiting for it (a no-op
// where there is no such hint).
void ae_advise_willneed(int fd, int64_t pos, int64_t len);

// Renames from onto to, replacing a file already at to, as one step. False on failure. Where another
// process holds `to` open for a moment (Windows refuses a rename then), the rename is retried briefly.
bool ae_rename_replace(const char *from, const char *to);

// Whether a rename onto the existing file at path would be refused although its directory can be written
// to: a sticky directory where this process owns neither the file nor the directory, a read-only file on
// Windows.
bool ae_replace_refused(const char *path);

// Gives the new file open at fd what the existing file at `like` grants: its permission bits, and its owner
// and group where this process may set them (a root host keeps a user's file the user's). Best effort.
void ae_take_access_of(int fd, const char *like);

// The length of the folder part of a path, its last separator included ("a/b/" of "a/b/c"; 0 for "c").
// Windows paths may separate with '\\' as well as '/'.
size_t ae_folder_length(const char *path);

// Whether a path is absolute ("/x"; on Windows also "C:\\x", "C:/x" and "\\\\server\\x").
bool ae_is_absolute(const char *path);

// Deletes the file at path; a failure is ignored.
void ae_file_remove(const char *path);

// Follows symbolic links at path to the name writing through it would reach (a link whose target does not
// exist yet included), into out. False if that name does not fit or the links loop.
bool ae_follow_links(const char *path, char *out, size_t cap);

// A number that differs between calls and between processes, for naming temporary files.
uint64_t ae_unique_number();

// This machine's name as it may stand in a file name (letters, digits and '-', at most 32 bytes; "host"
// when it has none), this process's id, and whether a process of that id runs on this machine.
const char *ae_host_name();
uint64_t ae_process_id();
bool ae_process_alive(uint64_t pid);

// Calls fn with the name of each entry of a folder ("" is the current one); nothing when it cannot be read.
void ae_list_folder(const std::string &folder, const std::function<void(const char *name)> &fn);
