#include "preview/preview_http.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits are taken in slices of this, so that a stopping server is seen.
constexpr milliseconds kSlice{100};
// After a refused request, what the client still sends is read and dropped
// for this long before the connection closes, so that the answer reaches it
// (closing with unread bytes would reset the connection).
constexpr milliseconds kLinger{200};

// Set by CloseAfterAnswer for the request the thread serves.
thread_local bool t_close_after_answer = false;

milliseconds ToMilliseconds(time_t sec, time_t usec) {
    return milliseconds(sec * 1000 + (usec + 999) / 1000);
}

// Polls `sock` for `events` up to `wait` (at least a millisecond); false on
// a timeout or an error.
bool Poll(int sock, short events, milliseconds wait) {
    struct pollfd p = {sock, events, 0};
    int timeout = static_cast<int>(std::max<milliseconds::rep>(wait.count(), 1));
    int ready;
    while ((ready = poll(&p, 1, timeout)) < 0 && errno == EINTR) {
    }
    return ready > 0;
}

void AddressOf(int sock, bool peer, std::string& ip, int& port) {
    struct sockaddr_storage address;
    socklen_t length = sizeof address;
    auto* a = reinterpret_cast<struct sockaddr*>(&address);
    if ((peer ? getpeername(sock, a, &length) : getsockname(sock, a, &length)) != 0) return;
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(a, length, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

// A connection's socket as cpp-httplib reads and writes it, with a deadline
// and a byte budget for the request being read.
class BoundedStream : public httplib::Stream {
  public:
    BoundedStream(int sock, milliseconds read_timeout, milliseconds write_timeout,
                  std::function<bool()> stopping)
        : sock_(sock),
          read_timeout_(read_timeout),
          write_timeout_(write_timeout),
          stopping_(std::move(stopping)) {}

    void BeginRequest(Clock::time_point deadline, size_t most_bytes) {
        deadline_ = deadline;
        left_ = most_bytes;
    }
    bool buffered() const { return at_ < end_; }
    // The request ran out of time or bytes: the connection cannot go on.
    bool exhausted() const { return exhausted_; }

    bool is_readable() const override { return buffered() || WaitReadable(); }
    bool is_writable() const override { return Poll(sock_, POLLOUT, write_timeout_); }

    ssize_t read(char* ptr, size_t size) override {
        if (left_ == 0) {
            exhausted_ = true;
            return -1;
        }
        if (!buffered()) {
            if (!WaitReadable()) return -1;
            ssize_t n;
            while ((n = recv(sock_, buffer_, sizeof buffer_, 0)) < 0 && errno == EINTR) {
            }
            if (n <= 0) return n;
            at_ = 0;
            end_ = static_cast<size_t>(n);
        }
        size_t n = std::min({size, end_ - at_, left_});
        std::copy(buffer_ + at_, buffer_ + at_ + n, ptr);
        at_ += n;
        left_ -= n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable()) return -1;
        ssize_t n;
        while ((n = send(sock_, ptr, size, MSG_NOSIGNAL)) < 0 && errno == EINTR) {
        }
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(sock_, false, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    // Waits for bytes until the read timeout or the request's deadline.
    bool WaitReadable() const {
        Clock::time_point until = std::min(deadline_, Clock::now() + read_timeout_);
        for (;;) {
            Clock::time_point now = Clock::now();
            if (now >= until || stopping_()) {
                exhausted_ = exhausted_ || now >= deadline_;
                return false;
            }
            auto left = std::chrono::duration_cast<milliseconds>(until - now);
            if (Poll(sock_, POLLIN, std::min(left, kSlice))) return true;
        }
    }

    int sock_;
    milliseconds read_timeout_, write_timeout_;
    std::function<bool()> stopping_;
    Clock::time_point deadline_;
    size_t left_ = 0;
    mutable bool exhausted_ = false;
    char buffer_[4096];
    size_t at_ = 0, end_ = 0;
};

// Ends the sending side, drops what the client still sends for a moment,
// and closes.
void CloseLingering(int sock) {
    shutdown(sock, SHUT_WR);
    Clock::time_point until = Clock::now() + kLinger;
    char drop[4096];
    while (Clock::now() < until && Poll(sock, POLLIN, kLinger / 4) &&
           recv(sock, drop, sizeof drop, 0) > 0) {
    }
    close(sock);
}

}  // namespace

void BoundedServer::CloseAfterAnswer(httplib::Response& res) {
    t_close_after_answer = true;
    res.set_header("Connection", "close");
}

void BoundedServer::LengthenListenQueue(int length) {
    if (svr_sock_ != INVALID_SOCKET) ::listen(svr_sock_, length);
}

bool BoundedServer::WaitForRequest(socket_t sock) const {
    Clock::time_point until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
        Clock::time_point now = Clock::now();
        if (now >= until) return false;
        auto left = std::chrono::duration_cast<milliseconds>(until - now);
        if (Poll(sock, POLLIN, std::min(left, kSlice))) return true;
    }
    return false;
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    BoundedStream stream(sock, ToMilliseconds(read_timeout_sec_, read_timeout_usec_),
                         ToMilliseconds(write_timeout_sec_, write_timeout_usec_),
                         [this] { return svr_sock_ == INVALID_SOCKET; });
    bool ok = true, refused = false;
    for (size_t served = 0; served < keep_alive_max_count_; ++served) {
        // The first request is due from the connection's start; a later one
        // from its first byte.
        if (served > 0 && !stream.buffered() && !WaitForRequest(sock)) break;
        stream.BeginRequest(Clock::now() + limits_.deadline, limits_.most_bytes);
        t_close_after_answer = false;
        bool closed = false;
        ok = process_request(stream, served + 1 == keep_alive_max_count_, closed, nullptr);
        refused = t_close_after_answer || stream.exhausted();
        if (!ok || closed || refused || svr_sock_ == INVALID_SOCKET) break;
    }
    if (refused) {
        CloseLingering(sock);
    } else {
        shutdown(sock, SHUT_RDWR);
        close(sock);
    }
    return ok;
}
