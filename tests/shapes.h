// A small muxer for fixtures that the ffmpeg tool cannot shape: hand-set timestamps, streams without
// packets, hundreds of streams, odd language tags. Every stream is 8 kHz mono 16-bit PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ae_test {

struct shaped_packet {
    int stream;
    int64_t pts, dts;  // in units of 1/8000 s; INT64_MIN for none
};

// Writes `languages.size()` audio streams (an empty language adds no tag) and the packets, in order, into
// `path` with the named container format. Returns false (and fails the test) on any error.
// With interleave false the packets are stored in the order given (blocks of one stream, then another, as
// some cameras write them) instead of being interleaved by time.
bool write_shaped(const std::string &path, const char *format, const std::vector<std::string> &languages,
                  const std::vector<shaped_packet> &packets, bool interleave = true);

// `count` packets of 10 ms each on stream 0, timestamps from 0.
std::vector<shaped_packet> steady_packets(int count, int stream = 0);

}  // namespace ae_test
