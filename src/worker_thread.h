// The record of a session's worker thread: what the platform layer starts and joins.
#pragma once

#include <cstdint>

#include "platform.h"

struct ae_session;

// The worker's thread record, owned by its slot from a successful start until the join in free.
struct ae_thread {
    ae_os_handle handle;
    int32_t (*routine)(ae_session *);
    ae_session *session;
};
