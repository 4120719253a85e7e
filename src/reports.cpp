// The progress and result reports of a session, each built from one reading of every field it shows.
#include <cstdio>

#include "json_escape.h"
#include "session.h"

extern "C" AE_API const char *AE_CALL audioextract_progress(int32_t id)
{
    ae_session *s = ae_lookup(id);
    if (!s)
        return AE_BAD_ID_JSON;
    const int32_t state = ae_load(s->state, std::memory_order_acquire);
    const int64_t processed = ae_load(s->processed_ms);
    const int64_t total = ae_load(s->total_ms);
    const int64_t packets = ae_load(s->packets);

    double percent = 100.0;
    if (state != AE_STATE_DONE) {
        percent = static_cast<double>(processed) * 100.0 / static_cast<double>(total > 0 ? total : 1);
        if (percent > 100.0)
            percent = 100.0;
    }
    std::snprintf(s->progress_json, sizeof s->progress_json,
                  "{\"state\":%d,\"percent\":%.1f,\"processed_ms\":%lld,\"total_ms\":%lld,\"packets\":%lld}",
                  state, percent, static_cast<long long>(processed), static_cast<long long>(total),
                  static_cast<long long>(packets));
    return s->progress_json;
}

extern "C" AE_API const char *AE_CALL audioextract_result(int32_t id)
{
    ae_session *s = ae_lookup(id);
    if (!s)
        return AE_BAD_ID_JSON;
    const int32_t state = ae_load(s->state, std::memory_order_acquire);

    if (state == AE_STATE_FAILED) {
        char error[512];
        json_escape(s->error, error, sizeof error);
        std::snprintf(s->result_json, sizeof s->result_json, "{\"state\":%d,\"ok\":false,\"error\":\"%s\"}",
                      state, error);
        return s->result_json;
    }

    char out_path[AE_OUT_PATH_JSON_CAP];
    json_escape(s->out_path, out_path, sizeof out_path);
    const char *codec = ae_load(s->codec_ready, std::memory_order_acquire) ? s->codec : "";
    std::snprintf(s->result_json, sizeof s->result_json,
                  "{\"state\":%d,\"ok\":%s,\"out_path\":\"%s\",\"out_size_bytes\":%lld,\"codec\":\"%s\","
                  "\"duration_ms\":%lld,\"packets_written\":%lld,\"elapsed_ms\":%lld}",
                  state, state == AE_STATE_DONE ? "true" : "false", out_path,
                  static_cast<long long>(ae_load(s->out_size_bytes)), codec,
                  static_cast<long long>(ae_load(s->total_ms)), static_cast<long long>(ae_load(s->packets)),
                  static_cast<long long>(ae_load(s->elapsed_ms)));
    return s->result_json;
}
