#include "fuzz_common.h"

#include <nlohmann/json.hpp>

bool fuzz_report_is_json(const char *text)
{
    std::string masked = text;
    for (char &c : masked)
        if (static_cast<unsigned char>(c) >= 0x80)
            c = '?';
    return nlohmann::json::accept(masked) && masked.front() == '{';
}
