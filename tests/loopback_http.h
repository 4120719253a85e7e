// A tiny HTTP server on 127.0.0.1 that misbehaves on purpose, for tests of inputs that stall or break.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ae_test {

class loopback_http {
public:
    enum class mode {
        silent,     // accepts and never answers
        stall,      // answers with the full length, sends half the body, then waits for ever
        cut,        // answers with the full length, sends half the body, then closes
    };
    loopback_http(mode m, std::string body);
    ~loopback_http();  // stops serving: every connection is closed and the thread joined
    loopback_http(const loopback_http &) = delete;
    loopback_http &operator=(const loopback_http &) = delete;

    std::string url(const std::string &name) const;

private:
    void serve();
    void answer(int fd);

    mode mode_;
    std::string body_;
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> clients_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace ae_test
