// audioextract: the command-line host of belmarun-audioextract. It reaches the library only through the
// public header and the loaded module, as any other host does.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "host_os.h"
#include "module.h"
#include "naming.h"
#include "read_report.h"
#include "runner.h"

using json = nlohmann::json;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// The largest single allocation FFmpeg may make: well above what a stream copy of a real file needs (an
// MP4 index of 16 hours of audio frames), far below what a forged size asks for.
constexpr size_t kMaxAlloc = size_t{64} << 20;

ae_module g_lib;

json probe_or_fail(const std::string &input, int *exit_code)
{
    json r = parse_report(g_lib.probe(input.c_str()));
    if (r.is_discarded() || !r.value("ok", false)) {
        std::fprintf(stderr, "audioextract: %s: %s\n", input.c_str(),
                     r.is_discarded() ? "unreadable report" : r.value("error", "probe failed").c_str());
        *exit_code = kExitFailed;
    }
    return r;
}

std::string kbps(int64_t bits)
{
    return bits > 0 ? std::to_string((bits + 500) / 1000) + " kb/s" : "? kb/s";
}

int cmd_probe(const std::string &input, bool as_json, bool pretty)
{
    if (as_json) {
        const char *text = g_lib.probe(input.c_str());
        json r = parse_report(text);
        std::puts(pretty && !r.is_discarded() ? r.dump(2).c_str() : text);
        return !r.is_discarded() && r.value("ok", false) ? 0 : kExitFailed;
    }
    int code = 0;
    json r = probe_or_fail(input, &code);
    if (code)
        return code;
    std::printf("%s: %s, %.3f s, %zu streams\n", input.c_str(), r["format"].get<std::string>().c_str(),
                r["duration_ms"].get<double>() / 1000.0, r["streams"].size());
    size_t next_audio = 0;
    const json &audio = r["audio_streams"];
    for (const json &s : r["streams"]) {
        const std::string type = s["type"], codec = s["codec"];
        if (type == "audio" && next_audio < audio.size() && audio[next_audio]["index"] == s["index"]) {
            const json &a = audio[next_audio++];
            const std::string lang = a["language"];
            std::printf("  #%d audio %s, %d ch, %d Hz, %s%s -> .%s\n", a["index"].get<int>(), codec.c_str(),
                        a["channels"].get<int>(), a["sample_rate"].get<int>(), kbps(a["bitrate"]).c_str(),
                        lang.empty() ? "" : (", " + lang).c_str(), a["suggested_ext"].get<std::string>().c_str());
        } else if (type == "video") {
            std::printf("  #%d video %s, %dx%d, %.3f fps\n", s["index"].get<int>(), codec.c_str(),
                        s["width"].get<int>(), s["height"].get<int>(), s["fps"].get<double>());
        } else {
            std::printf("  #%d %s %s\n", s["index"].get<int>(), type.c_str(), codec.c_str());
        }
    }
    if (r.value("truncated", false))
        std::printf("  ... more streams than the report can list\n");
    return 0;
}

// Outputs that must not be written: one that is the input itself (under any name), and without --force one
// that exists.
bool refuse_outputs(const std::vector<host_job> &jobs, bool force)
{
    bool refused = false;
    for (const host_job &j : jobs) {
        // What the library will write: the file behind a "file:" prefix; other schemes name no local file.
        const std::string local = local_path_of(j.output);
        if (local.empty()) {
            std::fprintf(stderr, "audioextract: %s: an output must be a local file\n", j.output.c_str());
            refused = true;
            continue;
        }
        const bool exists = host_exists(local);
        if (exists && host_same_file(local_path_of(j.input), local)) {
            std::fprintf(stderr, "audioextract: %s is the input file itself; writing it would destroy the input\n",
                         j.output.c_str());
            refused = true;
        } else if (!force && exists) {
            std::fprintf(stderr, "audioextract: %s exists (use --force to overwrite)\n", j.output.c_str());
            refused = true;
        }
    }
    return refused;
}

int cmd_extract(const std::string &input, const std::string &output, int stream, const ae_run_options &opt,
                bool force)
{
    std::vector<host_job> jobs{{input, output, stream}};
    // The probe is only needed to name the output; otherwise the library checks the stream itself (and an
    // input that can be read once, such as a pipe, is read only once).
    if (output.empty()) {
        int code = 0;
        json r = probe_or_fail(input, &code);
        if (code)
            return code;
        const json *chosen = pick_audio_stream(r, stream);
        if (!chosen && r.value("truncated", false)) {
            std::fprintf(stderr, "audioextract: %s: the stream is not among those the probe report could list; "
                                 "name an OUTPUT to extract it\n", input.c_str());
            return kExitFailed;
        }
        if (!chosen) {
            std::fprintf(stderr, "audioextract: %s: no audio stream\n", input.c_str());
            return kExitFailed;
        }
        jobs[0].output = default_output(input, r, *chosen, ".");
    }
    if (refuse_outputs(jobs, force))
        return kExitFailed;
    return run_jobs(g_lib, jobs, opt);
}

int cmd_extract_all(const std::string &input, const std::string &outdir, const ae_run_options &opt, bool force)
{
    int code = 0;
    json r = probe_or_fail(input, &code);
    if (code)
        return code;
    if (r["audio_streams"].empty()) {
        std::fprintf(stderr, "audioextract: %s: no audio stream\n", input.c_str());
        return kExitFailed;
    }
    std::error_code ec;
    std::filesystem::create_directories(host_path(outdir), ec);
    if (ec) {
        std::fprintf(stderr, "audioextract: %s: %s\n", outdir.c_str(), ec.message().c_str());
        return kExitFailed;
    }
    std::vector<host_job> jobs;
    for (const json &a : r["audio_streams"])
        jobs.push_back({input, numbered_output(input, a, outdir), a["index"].get<int>()});
    if (refuse_outputs(jobs, force))
        return kExitFailed;
    const int ran = run_jobs(g_lib, jobs, opt);
    // Streams the report could not list were not extracted: that is no success.
    if (r.value("truncated", false)) {
        std::fprintf(stderr, "audioextract: %s: more streams than the probe report can list; only the %zu listed "
                             "audio streams were extracted (use extract --stream N for the others)\n",
                     input.c_str(), jobs.size());
        return ran ? ran : kExitFailed;
    }
    return ran;
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Probe media files and copy audio streams out of them without re-encoding."};
    app.require_subcommand(0, 1);
    bool show_version = false, verbose = false;
    app.add_flag("--version", show_version, "Print the library's version text");
    app.add_flag("--verbose", verbose, "Show FFmpeg's own log output");

    std::string input, output, outdir = ".";
    bool as_json = false, pretty = false, force = false, quiet = false;
    int stream = -1;
    std::string progress = "auto";

    CLI::App *probe = app.add_subcommand("probe", "Describe a media file and its streams");
    probe->add_option("FILE", input, "Media file")->required();
    probe->add_flag("--json", as_json, "Print the library's JSON report");
    probe->add_flag("--pretty", pretty, "Indent the JSON report");

    auto add_run_options = [&](CLI::App *cmd) {
        cmd->add_flag("--force", force, "Overwrite existing output files");
        cmd->add_flag("-q,--quiet", quiet, "No progress output");
        cmd->add_option("--progress", progress, "Progress display: auto (a bar on a terminal), bar, plain, none")
            ->check(CLI::IsMember({"auto", "bar", "plain", "none"}));
        cmd->add_flag("--json", as_json, "Print the library's JSON result report(s)");
    };
    CLI::App *extract = app.add_subcommand("extract", "Copy one audio stream into a file of its own");
    extract->add_option("INPUT", input, "Media file")->required();
    extract->add_option("OUTPUT", output, "Output file; its extension chooses the container "
                                          "(default: the input's name with the stream's suggested extension)");
    extract->add_option("--stream", stream, "Index of the audio stream among all streams (default: the first audio stream)");
    add_run_options(extract);

    CLI::App *all = app.add_subcommand("extract-all", "Copy every audio stream into files of their own");
    all->add_option("INPUT", input, "Media file")->required();
    all->add_option("OUTDIR", outdir, "Directory for the outputs (default: the current directory)");
    add_run_options(all);

    // Arguments as UTF-8 (on Windows from the wide command line, so names that are not ASCII survive).
    std::vector<std::string> args = host_args(argc, argv);
    std::vector<char *> arg_ptrs;
    for (std::string &a : args)
        arg_ptrs.push_back(a.data());
    try {
        app.parse(static_cast<int>(arg_ptrs.size()), arg_ptrs.data());
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    std::string error;
    if (!ae_module_load(&g_lib, &error)) {
        std::fprintf(stderr, "audioextract: %s\n", error.c_str());
        return kExitFailed;
    }
    av_log_set_level(verbose ? AV_LOG_INFO : AV_LOG_QUIET);
    // Inputs are untrusted: no single allocation FFmpeg makes for one may exceed this (a file's declared
    // sizes would otherwise reserve gigabytes). Process-wide, so it is the host's to set.
    av_max_alloc(kMaxAlloc);

    if (show_version) {
        std::printf("audioextract %s\n", g_lib.version());
        return 0;
    }
    ae_run_options opt;
    opt.progress = quiet ? "none" : progress;
    opt.json = as_json;
    if (opt.progress == "auto")
        opt.progress = host_stderr_is_terminal() ? "bar" : "none";

    try {
        if (probe->parsed())
            return cmd_probe(input, as_json, pretty);
        if (extract->parsed())
            return cmd_extract(input, output, stream, opt, force);
        if (all->parsed())
            return cmd_extract_all(input, outdir, opt, force);
    } catch (const std::exception &e) {  // a report without the keys this host expects
        std::fprintf(stderr, "audioextract: unexpected report from the library: %s\n", e.what());
        return kExitFailed;
    }
    std::fputs(app.help().c_str(), stderr);
    return kExitUsage;
}
