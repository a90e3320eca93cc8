// Datagram tools for tests that run the daemon.
//
//     UdpPeer peer("127.0.0.2", bind_port);   // a cluster host beside the daemon
//     auto d = peer.receive();                // what the daemon sent it
//     UdpPeer sender("127.0.0.3");            // any free port
//     sender.send_to("127.0.0.1", bind_port, make_datagram(MSG_HEARTBEAT, 207, 12));
//     daemon.wait_for_line(sender.recvfrom_line(207));
//
// Every loopback address 127.x.y.z is local, so a peer on 127.0.0.2 shares
// the daemon's port: the daemon binds the wildcard address, and datagrams to
// 127.0.0.2 reach the more specific socket, the peer's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace harness {

// One received datagram and where it came from.
struct Datagram {
    std::string bytes;
    std::string from_addr;
    int from_port = 0;
};

// A UDP socket bound to addr:port (port 0: any free port) with SO_REUSEADDR,
// so that it can share the daemon's port.  Throws when it cannot bind.
class UdpPeer {
public:
    explicit UdpPeer(const std::string &addr, int port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer &) = delete;
    UdpPeer &operator=(const UdpPeer &) = delete;

    const std::string &addr() const { return addr_; }
    int port() const { return port_; }

    // The next datagram, or nullopt after timeout.
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = kWait);
    // The bytes of every datagram already queued, in arrival order, without
    // waiting (after a daemon's log line that follows its sends).
    std::vector<std::string> drain();
    // Sends bytes as one datagram to addr:port.  true when sent whole.
    bool send_to(const std::string &addr, int port, const std::string &bytes);
    // The daemon's debug line for a datagram of len bytes from this socket:
    // "recvfrom(<addr>:<port>): <len>".  Once it is logged, the daemon has
    // taken the datagram; the line's pass then counts and dispatches it.
    std::string recvfrom_line(size_t len) const;

private:
    int fd_ = -1;
    std::string addr_;
    int port_ = 0;
};

// A datagram of len bytes whose header carries `type` and the node id `uid`
// (as far as len reaches); every other byte is zero.
std::string make_datagram(uint8_t type, size_t len, uint32_t uid = 0);

// Stores value little-endian into bytes[off, off + width) (for patching one
// field of a built datagram: a count, a transaction id, a node id).
void put_le(std::string &bytes, size_t off, uint64_t value, size_t width);

// Sends peer a datagram too short to be counted (206 bytes) and waits for the
// daemon's "Malformed packet? #1" about it.  The daemon takes datagrams one
// at a time in arrival order, so once it logs that line every datagram sent
// before has been handled.  true when the line came.
bool settle(Daemon &daemon, UdpPeer &peer, int port);

// Sends bytes from peer to the daemon on 127.0.0.1:port, waits for the
// daemon's recvfrom line for them, then settles: once it returns true the
// datagram has been handled whole.  false when a step failed.
bool deliver(Daemon &daemon, UdpPeer &peer, int port, const std::string &bytes);

}  // namespace harness
