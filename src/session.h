// The session table: four fixed slots, each the record of one extraction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audioextract.h"

#include "worker_thread.h"

constexpr int AE_PATH_CAP = 1200;  // a path buffer: the longest path taken and its NUL fit
constexpr size_t AE_PATH_MAX_LEN = AE_MAX_PATH_BYTES;
constexpr size_t AE_CODEC_CAP = 64;
constexpr size_t AE_ERROR_CAP = 256;
constexpr size_t AE_PROGRESS_CAP = 512;
// The result report holds the output path whole, every byte of it escaped at the widest (6 bytes).
constexpr size_t AE_OUT_PATH_JSON_CAP = 6 * AE_PATH_MAX_LEN + 1;
constexpr size_t AE_RESULT_CAP = AE_OUT_PATH_JSON_CAP + 512;


// The host thread and the slot's worker share the numbers below marked "shared": each is one aligned
// word, stored whole through ae_store and loaded whole through ae_load by any thread that does not write it
// (a worker may read plainly what only it writes, such as processed_ms). The worker stores the final state last,
// with release order, and readers load it with acquire order, so a reader that sees a final state sees
// every field the result report prints as the worker left it. The texts `codec` and `error` are written
// before a flag that publishes them (`codec_ready`, the final state) and read only after it.
// Keeping plain fields (not std::atomic) lets a slot be reset with one memset, as it is at every start.
struct ae_session {
    alignas(4) int32_t in_use;           // host only
    alignas(4) int32_t state;            // shared: AE_STATE_*
    alignas(4) int32_t cancel_requested; // shared: set by cancel and free, read after each packet read
    char in_path[AE_PATH_CAP];           // written before the worker starts, then read-only
    char out_path[AE_PATH_CAP];
    int32_t stream_index;
    alignas(8) int64_t processed_ms;     // shared: furthest position copied, ms since the first pts
    alignas(8) int64_t total_ms;         // shared: the input's duration, 0 if unknown
    alignas(8) int64_t packets;          // shared: packets handed to the muxer
    char codec[AE_CODEC_CAP];            // worker, then published by codec_ready
    alignas(4) int32_t codec_ready;      // shared
    alignas(8) int64_t out_size_bytes;   // shared
    alignas(8) int64_t elapsed_ms;       // shared
    char error[AE_ERROR_CAP];            // worker, then published by the final state
    char progress_json[AE_PROGRESS_CAP]; // host only
    char result_json[AE_RESULT_CAP];     // host only
    ae_thread *worker;                   // host only
};

extern ae_session g_sessions[AE_MAX_SESSIONS];

static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int32_t>::is_always_lock_free,
              "shared numbers must be single words the hardware stores and loads whole");

template <class T>
inline T ae_load(T &field, std::memory_order order = std::memory_order_relaxed)
{
    return std::atomic_ref<T>(field).load(order);
}

template <class T>
inline void ae_store(T &field, T value, std::memory_order order = std::memory_order_relaxed)
{
    std::atomic_ref<T>(field).store(value, order);
}

// The session behind a host's id, or null for a bad id (outside 0..3, or a slot not held).
ae_session *ae_lookup(int32_t id);

// The worker routine: one whole extraction on session s. Returns 0; nobody reads it.
int32_t extract_thread(ae_session *s);

inline constexpr const char *AE_BAD_ID_JSON = "{\"error\":\"bad id\"}";
