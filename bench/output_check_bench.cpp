// The cost of reading a finished output back before it takes its name, against the extraction that wrote it,
// in one run:
//   ae_output_check_bench OUTDIR FILE...
// extracts the first audio stream of each FILE into OUTDIR (with its suggested extension), then times the
// read-back of that output (mean of 50) and prints both, with their ratio.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "audioextract.h"
#include "avio_fd.h"
#include "output_check.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s OUTDIR FILE...\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_QUIET);  // as the command-line host runs
    std::printf("%-24s %12s %14s %8s\n", "file", "extract ms", "read-back ms", "ratio");
    for (int i = 2; i < argc; ++i) {
        const nlohmann::json probe = nlohmann::json::parse(audioextract_probe(argv[i]));
        if (!probe.value("ok", false) || probe["audio_streams"].empty())
            continue;
        const nlohmann::json &audio = probe["audio_streams"][0];
        const std::string out = std::string(argv[1]) + "/bench-" + std::to_string(i) + "." +
                                audio["suggested_ext"].get<std::string>();
        const int32_t id = audioextract_start(argv[i], out.c_str(), audio["index"]);
        while (audioextract_status(id) < AE_STATE_DONE)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const nlohmann::json result = nlohmann::json::parse(audioextract_result(id));
        audioextract_free(id);
        if (!result.value("ok", false))
            continue;
        const AVCodecDescriptor *codec = avcodec_descriptor_get_by_name(result["codec"].get<std::string>().c_str());
        ae_interrupt irq;
        constexpr int runs = 50;
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < runs; ++k)
            ae_output_plays(out.c_str(), codec ? codec->id : AV_CODEC_ID_NONE, &irq);
        const double check = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / runs;
        const double extract = result["elapsed_ms"].get<double>();
        std::printf("%-24s %12.0f %14.2f %7.1f%%\n", std::string(argv[i]).substr(std::string(argv[i]).rfind('/') + 1).c_str(),
                    extract, check, extract > 0 ? 100.0 * check / extract : 0.0);
        std::remove(out.c_str());
    }
    return 0;
}
