#include "runner.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "host_os.h"
#include "progress_view.h"
#include "read_report.h"

using json = nlohmann::json;

namespace {

std::atomic<int> g_interrupted{0};

// The first Ctrl-C cancels cleanly, which waits for each worker's current read; a second one, for an input
// that will not return, ends the process at once (host_on_interrupt arranges that).
void on_interrupt()
{
    g_interrupted = 1;
}

struct slot {
    const host_job *job = nullptr;
    int32_t id = -1;
    clock_type::time_point started;
    json progress;
    double last_plain = -1;
    bool ended = false;
};

const char *start_error(int32_t code)
{
    switch (code) {
    case AE_ERR_BAD_PATH: return "path empty or longer than the library takes";
    case AE_ERR_NO_SLOT: return "no free session";
    case AE_ERR_THREAD: return "cannot create a worker thread";
    default: return "cannot start an extraction";
    }
}

// Frees every session still held when the run ends, however it ends (an exception included): freeing
// cancels the worker, and a cancelled or failed session leaves no file behind.
struct session_guard {
    const ae_module &lib;
    std::vector<slot> &slots;
    ~session_guard() { release(); }
    void release()
    {
        for (slot &s : slots)
            if (s.id >= 0 && !s.ended) {
                lib.free(s.id);
                s.ended = true;
            }
    }
};

}  // namespace

int run_jobs(const ae_module &lib, const std::vector<host_job> &jobs, const ae_run_options &opt)
{
    host_on_interrupt(on_interrupt);

    const bool bar = opt.progress == "bar", plain = opt.progress == "plain";
    std::vector<slot> slots(jobs.size());
    for (size_t i = 0; i < jobs.size(); ++i)
        slots[i].job = &jobs[i];

    session_guard guard{lib, slots};
    int failures = 0, drawn = 0;
    // Sessions are polled often, so an ending is seen within milliseconds; the display is redrawn less.
    constexpr auto poll_every = std::chrono::milliseconds(2), draw_every = std::chrono::milliseconds(100);
    auto next_draw = clock_type::now();
    size_t next = 0, running = 0, finished = 0;
    json results = json::array();
    std::string summaries, errors;
    while (finished < jobs.size() && !g_interrupted) {
        // Start what fits in the library's sessions.
        while (next < jobs.size() && running < AE_MAX_SESSIONS) {
            slot &s = slots[next++];
            s.started = clock_type::now();
            s.id = lib.start(s.job->input.c_str(), s.job->output.c_str(), s.job->stream);
            if (s.id < 0) {
                std::fprintf(stderr, "audioextract: %s: %s\n", s.job->output.c_str(), start_error(s.id));
                s.ended = true;
                ++failures;
                ++finished;
                continue;
            }
            ++running;
        }
        for (slot &s : slots) {
            if (s.id < 0 || s.ended)
                continue;
            s.progress = parse_report(lib.progress(s.id));
            const int state = s.progress.value("state", -1);
            if (plain && (state >= AE_STATE_DONE || s.progress.value("percent", 0.0) >= s.last_plain + 10)) {
                s.last_plain = s.progress.value("percent", 0.0);
                std::fprintf(stderr, "%s\n", progress_line(s.progress, s.started, s.job->output, false).c_str());
            }
            if (state < AE_STATE_DONE)
                continue;
            const char *text = lib.result(s.id);
            json r = parse_report(text);
            results.push_back(r);
            char msg[2048];
            if (state == AE_STATE_DONE) {
                std::snprintf(msg, sizeof msg, "%s: %s, %lld packets, %lld bytes, %.3f s\n", s.job->output.c_str(),
                              r.value("codec", "?").c_str(), r.value("packets_written", 0LL),
                              r.value("out_size_bytes", 0LL), r.value("duration_ms", 0.0) / 1000.0);
                if (!opt.json)
                    summaries += msg;
            } else {
                ++failures;
                const std::string error = r.value("error", state == AE_STATE_CANCELLED ? "cancelled" : "failed");
                const std::string &about = about_input(error) ? s.job->input : s.job->output;
                std::snprintf(msg, sizeof msg, "audioextract: %s: %s\n", about.c_str(), error.c_str());
                errors += msg;
            }
            // Below a live bar, anything printed would be drawn over: hold it until the bar is final.
            if (!bar) {
                std::fputs(summaries.c_str(), stdout);
                std::fputs(errors.c_str(), stderr);
                summaries.clear();
                errors.clear();
            }
            lib.free(s.id);
            s.ended = true;
            --running;
            ++finished;
        }
        const bool ended_now = running == 0 || finished == jobs.size();
        if (bar && (clock_type::now() >= next_draw || ended_now)) {
            next_draw = clock_type::now() + draw_every;
            // Redraw one line per started stream in place.
            if (drawn > 0)
                std::fprintf(stderr, "\x1b[%dA", drawn);
            drawn = 0;
            for (slot &s : slots) {
                if (s.id < 0)
                    continue;
                if (s.ended)
                    s.progress["percent"] = s.progress.value("state", 0) == AE_STATE_DONE ? 100.0
                                                                                           : s.progress.value("percent", 0.0);
                std::fprintf(stderr, "\r\x1b[2K%s\n", progress_line(s.progress, s.started, s.job->output, true).c_str());
                ++drawn;
            }
            std::fflush(stderr);
        }
        if (finished < jobs.size())
            std::this_thread::sleep_for(poll_every);
    }

    if (g_interrupted) {
        // Freeing cancels each worker and waits for it; the library removes what it wrote.
        guard.release();
        std::fprintf(stderr, "audioextract: cancelled\n");
        return kExitCancelled;
    }
    std::fflush(stderr);
    std::fputs(summaries.c_str(), stdout);
    std::fputs(errors.c_str(), stderr);
    if (opt.json)
        std::puts((results.size() == 1 ? results[0] : results).dump().c_str());
    return failures ? 1 : 0;
}
