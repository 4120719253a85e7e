// How a running extraction is shown: one line of text from its progress report.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <string>

using clock_type = std::chrono::steady_clock;

// The line for one extraction: a bar of 24 cells, percent, position, packets, speed and the output's file
// name when bar is set; otherwise a plain line of the same facts.
std::string progress_line(const nlohmann::json &progress, clock_type::time_point started, const std::string &output,
                          bool bar);
