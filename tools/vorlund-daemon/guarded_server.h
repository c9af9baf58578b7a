#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>

namespace vorlund {

// cpp-httplib's server with what its version 0.11 lacks against slow and oversized requests.
// Each request must arrive whole, head and body, within a deadline: httplib alone times out
// single reads only, so a client that trickles its head a line at a time holds a worker for as
// long as it likes. The head must fit 16 KiB and 64 fields, or it is answered with 431. A request
// can be refused on its head alone: its body is never read. Any answer but 200 ends its
// connection, since what is left of a body must not be read as the next request, and a
// connection serves a bounded number of requests for a bounded time. And no second server can
// share the port, as httplib's SO_REUSEPORT would let it.
class GuardedServer : public httplib::Server {
public:
    // Fills in the answer and returns true if the request is refused on its head.
    using HeadCheck = std::function<bool(const httplib::Request&, httplib::Response&)>;

    GuardedServer(std::chrono::seconds requestDeadline, int workers, HeadCheck headCheck);

    // After binding: httplib listens with a backlog of 5, and clients beyond that who connect at
    // once wait for retransmissions, long enough to be taken for idle.
    void queueConnections(int count);

private:
    bool process_and_close_socket(socket_t fd) override;

    const std::chrono::seconds requestDeadline_;
    const HeadCheck headCheck_;
};

} // namespace vorlund
