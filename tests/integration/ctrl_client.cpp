#include "ctrl_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace harness {

CtrlClient::CtrlClient(int port)
{
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        peer_ = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
}

CtrlClient::~CtrlClient() { close(); }

bool CtrlClient::write(const std::string &text) const
{
    return ::write(fd_, text.data(), text.size()) == ssize_t(text.size());
}

bool CtrlClient::readable() const
{
    struct pollfd p = {fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

std::string CtrlClient::read_through(const std::string &last) const
{
    std::string text;
    char buf[4096];
    struct pollfd p = {fd_, POLLIN, 0};
    while (("\n" + text).find("\n" + last + "\n") == std::string::npos && ::poll(&p, 1, 5000) > 0) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, size_t(n));
    }
    return text;
}

void CtrlClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

}  // namespace harness
