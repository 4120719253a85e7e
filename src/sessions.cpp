// The session table and the calls that start, query, cancel and free sessions.
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "session.h"

ae_session g_sessions[AE_MAX_SESSIONS];

ae_session *ae_lookup(int32_t id)
{
    if (static_cast<uint32_t>(id) >= AE_MAX_SESSIONS)
        return nullptr;
    ae_session *s = &g_sessions[id];
    return s->in_use ? s : nullptr;
}

static bool ae_path_ok(const char *p)
{
    return p && p[0] != '\0' && std::strlen(p) <= AE_PATH_MAX_LEN;
}

extern "C" AE_API int32_t AE_CALL audioextract_start(const char *in_path, const char *out_path,
                                                     int32_t stream_index)
{
    if (!ae_path_ok(in_path) || !ae_path_ok(out_path))
        return AE_ERR_BAD_PATH;

    int32_t id = 0;
    while (id < AE_MAX_SESSIONS && g_sessions[id].in_use)
        ++id;
    if (id == AE_MAX_SESSIONS)
        return AE_ERR_NO_SLOT;

    // The slot's previous worker, if any, was joined by free: nothing else touches it now.
    ae_session *s = &g_sessions[id];
    std::memset(s, 0, sizeof *s);
    s->in_use = 1;
    ae_store(s->state, int32_t{AE_STATE_PENDING});
    std::memcpy(s->in_path, in_path, std::strlen(in_path) + 1);
    std::memcpy(s->out_path, out_path, std::strlen(out_path) + 1);
    s->stream_index = stream_index;

    auto *t = static_cast<ae_thread *>(std::calloc(1, sizeof(ae_thread)));
    if (t) {
        t->routine = extract_thread;
        t->session = s;
        if (ae_thread_create(t)) {
            s->worker = t;
            return id;
        }
        std::free(t);
    }
    s->worker = nullptr;
    s->in_use = 0;
    return AE_ERR_THREAD;
}

extern "C" AE_API int32_t AE_CALL audioextract_status(int32_t id)
{
    ae_session *s = ae_lookup(id);
    return s ? ae_load(s->state, std::memory_order_acquire) : -1;
}

extern "C" AE_API void AE_CALL audioextract_cancel(int32_t id)
{
    if (ae_session *s = ae_lookup(id))
        ae_store(s->cancel_requested, int32_t{1});
}

extern "C" AE_API void AE_CALL audioextract_free(int32_t id)
{
    ae_session *s = ae_lookup(id);
    if (!s)
        return;
    ae_store(s->cancel_requested, int32_t{1});
    if (s->worker) {
        ae_thread_join_close(s->worker);
        std::free(s->worker);
        s->worker = nullptr;
    }
    // Nothing to delete here: a worker removes the output it wrote in its own cancel and failure endings,
    // and the join above means it has reached one. Deleting out_path again could destroy a file that
    // someone else put there after the session ended, or one the session never wrote.
    s->in_use = 0;
}
