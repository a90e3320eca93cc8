// A client of the daemon's control port, for tests that run the daemon.
//
//     CtrlClient client(ctrl_port);                 // connects to 127.0.0.1
//     ASSERT_FALSE(client.peer().empty());
//     daemon.wait_for_line("Accepted CTRL connection from " + client.peer());
//     client.write("ds_ping 12\n");
#pragma once

#include <string>

namespace harness {

// A TCP connection to 127.0.0.1:port, made by the constructor; closed by
// close() or the destructor.
class CtrlClient {
public:
    explicit CtrlClient(int port);
    ~CtrlClient();
    CtrlClient(const CtrlClient &) = delete;
    CtrlClient &operator=(const CtrlClient &) = delete;

    // "127.0.0.1:<port>" as the daemon names this client; empty if not connected.
    const std::string &peer() const { return peer_; }
    // Writes text in one write().  true when all of it was written.
    bool write(const std::string &text) const;
    // Whether the daemon has written anything (or closed the connection),
    // without waiting.
    bool readable() const;
    // What the daemon writes until a line equal to `last` (included), or
    // until nothing came for 5 s or the connection closed.
    std::string read_through(const std::string &last) const;
    // Closes the connection (the daemon sees end of file); idempotent.
    void close();

private:
    int fd_ = -1;
    std::string peer_;
};

}  // namespace harness
