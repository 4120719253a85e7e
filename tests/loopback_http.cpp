#include "loopback_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace ae_test {

loopback_http::loopback_http(mode m, std::string body) : mode_(m), body_(std::move(body))
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

loopback_http::~loopback_http()
{
    stop_ = true;
    thread_.join();
    for (int fd : clients_)
        close(fd);
    close(listener_);
}

std::string loopback_http::url(const std::string &name) const
{
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
}

void loopback_http::serve()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        answer(fd);
    }
}

void loopback_http::answer(int fd)
{
    // The request is read up to its blank line, so the client is known to be waiting for the answer.
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && !stop_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        request.append(buf, static_cast<size_t>(n));
    }
    if (mode_ != mode::silent) {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                 std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n";
        const std::string half = head + body_.substr(0, body_.size() / 2);
        size_t sent = 0;
        while (sent < half.size()) {
            const ssize_t n = send(fd, half.data() + sent, half.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<size_t>(n);
        }
    }
    if (mode_ == mode::cut)
        close(fd);
    else
        clients_.push_back(fd);  // held open, silent, until the server stops
}

}  // namespace ae_test
