// Choosing between skipping the gaps of a file and reading through them, from what each way is timed to
// cost; and a gap read through lands where a seek would, with the same bytes after it.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avio.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "avio_fd.h"
#include "platform.h"
#include "read_way.h"
#include "support.h"

using namespace ae_test;

namespace {

constexpr int64_t MiB = 1024 * 1024;

// Walks a file in steps of 1 MiB, each step costing what the storage charges for the way in use at that moment
// (microseconds). Returns whether it reads through at the end; *through_us is the time spent reading through.
bool walk(const std::function<int64_t(bool through, int64_t pos)> &cost, ae_read_way *w, int64_t *through_us)
{
    int64_t now = 1'000'000;
    bool through = false;
    *through_us = 0;
    for (int64_t pos = 0; pos <= 4096 * MiB; pos += MiB) {
        through = ae_way_reads_through(w, pos, now);
        const int64_t step = cost(through, pos);
        now += step;
        *through_us += through ? step : 0;
    }
    return through;
}

TEST(ReadWay, TheFasterWayIsKept)
{
    struct {
        const char *why;
        std::function<int64_t(bool, int64_t)> cost;
        bool through;
        bool gaps_read_later = false;
    } cases[] = {
        // Half a second of fragments per MiB on a disk: two requests (10 ms) against 7 ms of reading.
        {"requests dear: short fragments on a disk", [](bool through, int64_t) { return through ? 7000 : 10000; }, true},
        {"requests cheap: an SSD", [](bool through, int64_t) { return through ? 2000 : 200; }, false},
        {"other work slows the first trial of reading through: no clear winner, so a second pair",
         [](bool through, int64_t pos) { return through ? (pos < 48 * MiB ? 11000 : 7000) : 10000; }, true},
        {"never a clear winner: skipping, which asks for less", [](bool through, int64_t) { return through ? 9000 : 10000; },
         false},
        // An extraction's header scan: every gap skipped now is a request again when its audio is copied.
        {"skips that will be paid for twice", [](bool through, int64_t) { return through ? 7000 : 6000; }, true, true},
        {"skipping clearly faster even when paid for twice", [](bool through, int64_t) { return through ? 7000 : 2500; },
         false, true},
        // A burst lets the first trial of skipping through fast, so the trial of reading through ends early as
        // the loser; timed on, skipping shows what it costs.
        {"a burst made skipping look fast", [](bool through, int64_t pos) { return through ? 7000 : pos < 64 * MiB ? 250 : 10000; },
         true, true},
        {"a burst made skipping look fast, and the first trial of reading through was slow",
         [](bool through, int64_t pos) { return through ? (pos < 60 * MiB ? 30000 : 7000) : pos < 40 * MiB ? 250 : 10000; },
         true, true},
        {"the same layout for a probe, which comes back for nothing", [](bool through, int64_t) { return through ? 7000 : 6000; },
         false},
    };
    for (const auto &c : cases) {
        ae_read_way w;
        w.gaps_read_later = c.gaps_read_later;
        int64_t through_us = 0;
        EXPECT_EQ(walk(c.cost, &w, &through_us), c.through) << c.why;
        EXPECT_TRUE(w.state == ae_read_way::skips || w.state == ae_read_way::through) << c.why << ": undecided";
    }
}

TEST(ReadWay, ALosingTrialOfReadingThroughEndsEarly)
{
    ae_read_way w;
    int64_t through_us = 0;
    EXPECT_FALSE(walk([](bool through, int64_t) { return through ? 2000 : 200; }, &w, &through_us));
    EXPECT_LE(through_us, AE_TRIAL_EARLY_US + 2000);
}

TEST(ReadWay, ACachedFileIsOnlySkipped)
{
    // Every step costs next to nothing: no trial lasts long enough to end, and nothing is read through.
    ae_read_way w;
    int64_t through_us = 0;
    EXPECT_FALSE(walk([](bool, int64_t) { return 5; }, &w, &through_us));
    EXPECT_EQ(through_us, 0);
}

TEST(ReadWay, ReadingThroughIsTriedOnlyOnceSkippingHasBeenTimed)
{
    ae_read_way w;
    int64_t now = 0, pos = 0;
    for (; now < AE_TRIAL_US || pos < AE_TRIAL_BYTES; pos += MiB, now += 10'000)
        EXPECT_FALSE(ae_way_reads_through(&w, pos, now)) << "at " << pos / MiB << " MiB";
    EXPECT_TRUE(ae_way_reads_through(&w, pos, now)) << "the trial of reading through";
}

// A header read that jumps forward again and again, its gaps then read through: every read returns the
// bytes at its offset, and the position is where a seek would have put it.
TEST(ReadWay, AGapReadThroughLandsWhereASeekWould)
{
    const std::string path = scratch_dir() + "/frag.bin";
    std::string bytes(24 * MiB, '\0');
    for (size_t i = 0; i < bytes.size(); i += 8)
        std::memcpy(&bytes[i], &i, sizeof(i));  // each 8 bytes hold their own offset
    write_file(path, bytes);

    for (const auto state : {ae_read_way::skips, ae_read_way::through}) {
        ae_fd_io io;
        io.fd = ae_open_read(path.c_str());
        ASSERT_GE(io.fd, 0);
        io.scanning = true;
        io.way.state = state;
        AVIOContext *pb = ae_avio_open(&io, false, 32 * 1024);
        ASSERT_NE(pb, nullptr);
        for (int64_t at = 0; at + 4096 < static_cast<int64_t>(bytes.size()); at += 700 * 1024 + 8 * 13) {
            ASSERT_EQ(avio_seek(pb, at, SEEK_SET), at);
            unsigned char got[4096];
            ASSERT_EQ(avio_read(pb, got, sizeof got), static_cast<int>(sizeof got));
            ASSERT_EQ(std::string(reinterpret_cast<char *>(got), sizeof got), bytes.substr(static_cast<size_t>(at), sizeof got))
                << "at " << at;
        }
        EXPECT_GT(io.jumps, 30);
        ae_avio_free(&pb);
        ae_close(io.fd);
    }
}

// Reads of a regular file say where they read, so a seek only moves the context's position: seeks back and
// forth land on the right bytes, and one before the start is refused.
TEST(ReadWay, SeeksBackAndForthLandOnTheirBytes)
{
    const std::string path = scratch_dir() + "/seek.bin";
    std::string bytes(1024 * 1024, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 251);
    write_file(path, bytes);

    ae_fd_io io;
    io.fd = ae_open_read(path.c_str());
    ASSERT_GE(io.fd, 0);
    AVIOContext *pb = ae_avio_open(&io, false, 4096);
    ASSERT_NE(pb, nullptr);
    const int64_t size = static_cast<int64_t>(bytes.size());
    auto read_at_here = [&](int64_t expect_at) {
        unsigned char got[100];
        ASSERT_EQ(avio_read(pb, got, sizeof got), static_cast<int>(sizeof got));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(got), sizeof got), bytes.substr(static_cast<size_t>(expect_at), sizeof got))
            << "at " << expect_at;
    };
    EXPECT_EQ(avio_size(pb), size);
    ASSERT_EQ(avio_seek(pb, size - 1000, SEEK_SET), size - 1000);
    read_at_here(size - 1000);
    ASSERT_EQ(avio_seek(pb, 500 * 1000, SEEK_SET), 500 * 1000);
    read_at_here(500 * 1000);
    ASSERT_EQ(avio_seek(pb, -300 * 1000, SEEK_CUR), 200 * 1000 + 100);
    read_at_here(200 * 1000 + 100);
    EXPECT_LT(avio_seek(pb, -1, SEEK_SET), 0);
    read_at_here(200 * 1000 + 200);  // a refused seek leaves the position where it was
    ae_avio_free(&pb);
    ae_close(io.fd);
}

#ifdef __linux__
// A file written and then dropped from the page cache, mapped to see which of its pages are cached again.
class ColdFile {
public:
    ColdFile(const std::string &path, const std::string &bytes) : size_(bytes.size())
    {
        write_file(path, bytes);
        fd_ = ae_open_read(path.c_str());
        if (fd_ < 0)
            return;
        fdatasync(fd_);
        posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
        map_ = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    }
    ~ColdFile()
    {
        if (map_ != MAP_FAILED)
            munmap(map_, size_);
        if (fd_ >= 0)
            ae_close(fd_);
    }
    ColdFile(const ColdFile &) = delete;
    ColdFile &operator=(const ColdFile &) = delete;

    bool ok() const { return fd_ >= 0 && map_ != MAP_FAILED; }
    int fd() const { return fd_; }
    // Pages of [from, to) in the cache, and how many pages that range has.
    size_t cached(size_t from, size_t to) const
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        std::vector<unsigned char> resident((size_ + page - 1) / page);
        mincore(map_, size_, resident.data());
        return static_cast<size_t>(std::count_if(resident.begin() + from / page, resident.begin() + (to + page - 1) / page,
                                                 [](unsigned char r) { return r & 1; }));
    }
    static size_t pages(size_t from, size_t to)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        return (to + page - 1) / page - from / page;
    }
    // Some file systems (tmpfs) keep every file cached: nothing can be seen there.
    bool stays_cached() const { return cached(0, size_) > pages(0, size_) / 2; }

private:
    size_t size_;
    int fd_ = -1;
    void *map_ = MAP_FAILED;
};

// Waits up to 5 s for asynchronous reads to reach the cache.
void wait_until(const std::function<bool()> &done)
{
    for (int i = 0; i < 100 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The kernel reads only up to its read-ahead size for one hint and drops the rest of a longer range: all
// of a range asked for must reach the cache.
TEST(ReadWay, AskingAheadReadsTheWholeRange)
{
    constexpr size_t size = 40 * 1024 * 1024;
    const ColdFile file(scratch_dir() + "/ahead.bin", std::string(size, 'x'));
    ASSERT_TRUE(file.ok());
    if (file.stays_cached())
        GTEST_SKIP() << "this file system keeps the file cached";
    ae_advise_willneed(file.fd(), 0, size);
    // One hint cut at the read-ahead size leaves a fifth of this range cached; a few pages may still be
    // missed or dropped again under other tests' memory load, which is not what is checked here.
    const size_t nearly_all = ColdFile::pages(0, size) * 95 / 100;
    wait_until([&] { return file.cached(0, size) >= nearly_all; });
    EXPECT_GE(file.cached(0, size), nearly_all);
}

// A header read that skips the media data between fragment headers takes the end of each gap (an eighth)
// along with the header after it (where the audio of a fragment lies) when that data is copied later, and
// only then.
TEST(ReadWay, ASkippedGapsEndComesWithTheHeaderAfterIt)
{
    constexpr int64_t size = 24 * MiB, step = 2 * MiB, tail = step / 8;
    for (const bool copies : {true, false}) {
        const ColdFile file(scratch_dir() + "/tails.bin", std::string(size, 'x'));
        ASSERT_TRUE(file.ok());
        if (file.stays_cached())
            GTEST_SKIP() << "this file system keeps the file cached";
        ae_fd_io io;
        io.fd = file.fd();
        io.scanning = true;
        io.way.state = ae_read_way::skips;
        io.way.gaps_read_later = copies;
        AVIOContext *pb = ae_avio_open(&io, false, 32 * 1024);
        ASSERT_NE(pb, nullptr);
        size_t tails = 0;
        for (int64_t at = 0; at + step < size; at += step) {
            ASSERT_EQ(avio_seek(pb, at, SEEK_SET), at);
            unsigned char got[4096];
            ASSERT_EQ(avio_read(pb, got, sizeof got), static_cast<int>(sizeof got));
            tails += at ? ColdFile::pages(static_cast<size_t>(at - tail), static_cast<size_t>(at)) : 0;
        }
        ae_avio_free(&pb);
        auto cached_tails = [&] {
            size_t n = 0;
            for (int64_t at = step; at + step < size; at += step)
                n += file.cached(static_cast<size_t>(at - tail), static_cast<size_t>(at));
            return n;
        };
        if (copies) {
            wait_until([&] { return cached_tails() >= tails * 95 / 100; });
            EXPECT_GE(cached_tails(), tails * 95 / 100) << "of " << tails;
        } else {
            EXPECT_LE(cached_tails(), tails / 20) << "of " << tails << ", for a probe that copies nothing";
        }
    }
}
#endif

}  // namespace
