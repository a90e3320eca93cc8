#include "udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "proto/records.h"

namespace harness {

namespace {

struct sockaddr_in make_addr(const std::string &addr, int port)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1)
        throw std::runtime_error("UdpPeer: bad address " + addr);
    return sa;
}

}  // namespace

UdpPeer::UdpPeer(const std::string &addr, int port) : addr_(addr)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error(std::string("UdpPeer: socket: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa = make_addr(addr, port);
    socklen_t len = sizeof sa;
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        std::string err = std::strerror(errno);
        ::close(fd_);
        throw std::runtime_error("UdpPeer: bind " + addr + ": " + err);
    }
    port_ = ntohs(sa.sin_port);
}

UdpPeer::~UdpPeer() { ::close(fd_); }

std::optional<Datagram> UdpPeer::receive(std::chrono::milliseconds timeout)
{
    struct pollfd pfd = {fd_, POLLIN, 0};
    if (::poll(&pfd, 1, int(timeout.count())) != 1)
        return std::nullopt;
    std::string buf(MSG_BUF_LEN, '\0');
    struct sockaddr_in from {};
    socklen_t fromlen = sizeof from;
    ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from),
                           &fromlen);
    if (n < 0)
        return std::nullopt;
    buf.resize(size_t(n));
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{std::move(buf), text, ntohs(from.sin_port)};
}

std::vector<std::string> UdpPeer::drain()
{
    std::vector<std::string> out;
    while (auto dg = receive(std::chrono::milliseconds(0)))
        out.push_back(std::move(dg->bytes));
    return out;
}

bool UdpPeer::send_to(const std::string &addr, int port, const std::string &bytes)
{
    struct sockaddr_in to = make_addr(addr, port);
    ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to),
                         sizeof to);
    return n == ssize_t(bytes.size());
}

std::string UdpPeer::recvfrom_line(size_t len) const
{
    return "recvfrom(" + addr_ + ":" + std::to_string(port_) + "): " + std::to_string(len);
}

std::string make_datagram(uint8_t type, size_t len, uint32_t uid)
{
    std::string d(len, '\0');
    if (len > offsetof(Hdr, type))
        d[offsetof(Hdr, type)] = char(type);
    if (len >= offsetof(Hdr, uid) + sizeof uid)
        std::memcpy(&d[offsetof(Hdr, uid)], &uid, sizeof uid);
    return d;
}

void put_le(std::string &bytes, size_t off, uint64_t value, size_t width)
{
    if (off + width > bytes.size())
        throw std::out_of_range("put_le: field beyond the datagram");
    for (size_t i = 0; i < width; i++)
        bytes[off + i] = char((value >> (8 * i)) & 0xff);
}

bool settle(Daemon &daemon, UdpPeer &peer, int port)
{
    return peer.send_to("127.0.0.1", port, std::string(HDR_LEN - 1, '\0')) &&
           daemon.wait_for_line("Malformed packet? #1");
}

bool deliver(Daemon &daemon, UdpPeer &peer, int port, const std::string &bytes)
{
    return peer.send_to("127.0.0.1", port, bytes) &&
           daemon.wait_for_line(peer.recvfrom_line(bytes.size())) && settle(daemon, peer, port);
}

}  // namespace harness
