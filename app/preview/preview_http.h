// The preview's HTTP connections: cpp-httplib's server with the reading of
// every request bounded in time and in bytes. A request (its line, headers
// and body) must arrive within a deadline, counted from its first byte (for
// a connection's first request, from the connection's start), and within a
// number of bytes; a client that sends slowly, or without end, holds a
// server thread no longer than the deadline and is then disconnected. An
// idle kept-alive connection is closed after the keep-alive time, and at
// once when the server stops.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>

struct RequestLimits {
    std::chrono::milliseconds deadline{5000};
    size_t most_bytes = 256 * 1024;  // line, headers and body
};

class BoundedServer : public httplib::Server {
  public:
    explicit BoundedServer(RequestLimits limits = RequestLimits()) : limits_(limits) {}

    void set_limits(const RequestLimits& limits) { limits_ = limits; }

    // After binding: connections wait to be accepted in a queue of
    // `length` rather than cpp-httplib's five, so that a burst of them (a
    // page opening several at once) is not made to retry a second later.
    void LengthenListenQueue(int length);

    // Called from a handler: the connection ends after this answer, which
    // says so (for a request refused before its body was read).
    static void CloseAfterAnswer(httplib::Response& res);

  private:
    // Serves the connection's requests one after another (keep-alive), each
    // read under the limits, then closes it.
    bool process_and_close_socket(socket_t sock) override;
    // Waits until the next request begins; false when the keep-alive time
    // passed, the client left or the server stops.
    bool WaitForRequest(socket_t sock) const;

    RequestLimits limits_;
};
