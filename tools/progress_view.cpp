#include "progress_view.h"

#include <cmath>
#include <cstdio>

#include "host_os.h"

using json = nlohmann::json;

namespace {

std::string clock_text(int64_t ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02lld:%02lld.%lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms / 100 % 10));
    return buf;
}

}  // namespace

std::string progress_line(const json &p, clock_type::time_point started, const std::string &output, bool bar)
{
    const double percent = p.value("percent", 0.0);
    const int64_t done = p.value("processed_ms", int64_t{0}), total = p.value("total_ms", int64_t{0});
    const double wall =
        std::chrono::duration<double, std::milli>(clock_type::now() - started).count();
    char speed[32] = "";
    if (wall > 0 && done > 0)
        std::snprintf(speed, sizeof speed, "%.1fx", static_cast<double>(done) / wall);
    const std::string name = host_utf8(host_path(output).filename());
    char line[512];
    if (bar) {
        constexpr int width = 24;
        const int filled = static_cast<int>(std::lround(percent / 100.0 * width));
        const std::string meter = std::string(filled, '#') + std::string(width - filled, '-');
        std::snprintf(line, sizeof line, "[%s] %5.1f%%  %s/%s  %lld pkts  %6s  %s", meter.c_str(), percent,
                      clock_text(done).c_str(), clock_text(total).c_str(),
                      static_cast<long long>(p.value("packets", int64_t{0})), speed, name.c_str());
    } else {
        std::snprintf(line, sizeof line, "%s: %.1f%% %s/%s %lld packets %s", name.c_str(), percent,
                      clock_text(done).c_str(), clock_text(total).c_str(),
                      static_cast<long long>(p.value("packets", int64_t{0})), speed);
    }
    return line;
}
