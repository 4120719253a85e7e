// The little the library needs from the operating system, behind one interface so that callers carry no
// #ifdef: one implementation file per platform, chosen by the build.
#pragma once

#include <cstdint>

struct ae_os_thread;  // opaque handle of a running or ended thread

// Starts fn(arg) on a new thread with default attributes. Returns null if no thread could be created.
ae_os_thread *ae_thread_create(int (*fn)(void *), void *arg);

// Waits, without a time limit, for the thread to end, then releases its handle.
void ae_thread_join_close(ae_os_thread *t);

// Size in bytes of the file at path, -1 if its end position cannot be read, or 0 if it cannot be opened.
int64_t ae_file_size(const char *path);

// Deletes the file at path; a failure is ignored.
void ae_file_remove(const char *path);

// True if both paths name one existing file (same path, hard link or symbolic link).
bool ae_same_file(const char *a, const char *b);
