#include "platform.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <new>

struct ae_os_thread {
    pthread_t handle;
    int (*fn)(void *);
    void *arg;
};

static void *ae_os_entry(void *p)
{
    auto *t = static_cast<ae_os_thread *>(p);
    t->fn(t->arg);
    return nullptr;
}

ae_os_thread *ae_thread_create(int (*fn)(void *), void *arg)
{
    auto *t = new (std::nothrow) ae_os_thread{{}, fn, arg};
    if (!t)
        return nullptr;
    if (pthread_create(&t->handle, nullptr, ae_os_entry, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

void ae_thread_join_close(ae_os_thread *t)
{
    pthread_join(t->handle, nullptr);
    delete t;
}

int64_t ae_file_size(const char *path)
{
    FILE *f = std::fopen(path, "rb");
    if (!f)
        return 0;
    int64_t size = -1;
    if (fseeko(f, 0, SEEK_END) == 0)
        size = ftello(f);
    std::fclose(f);
    return size;
}

void ae_file_remove(const char *path)
{
    std::remove(path);
}

bool ae_same_file(const char *a, const char *b)
{
    struct stat sa {}, sb {};
    if (stat(a, &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
