#pragma once
// Requests written byte for byte on a socket to 127.0.0.1, for what an HTTP library would tidy up
// before sending ("/../", encoded dots, oversized bodies and headers) and for idle connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace tw::test {

// A connected socket, or -1.
inline int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// True while the peer has neither closed the connection nor sent anything on it.
inline bool StillOpen(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

struct RawAnswer {
    int status = 0; // 0: no answer
    std::string head, body;
};

// Sends `request` (as much of it as the peer takes) and reads the answer until the peer closes.
inline RawAnswer RawRequest(int port, const std::string& request) {
    RawAnswer out;
    int fd = Connect(port);
    if (fd < 0)
        return out;
    timeval limit{60, 0}; // a bound on a broken peer, not a timing check
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    for (std::size_t sent = 0; sent < request.size();) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    std::string all;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        all.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    const auto end = all.find("\r\n\r\n");
    out.head = all.substr(0, end);
    out.body = end == std::string::npos ? "" : all.substr(end + 4);
    if (all.rfind("HTTP/1.", 0) == 0 && all.size() > 12)
        out.status = std::atoi(all.c_str() + 9);
    return out;
}

inline std::string Get(const std::string& target) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

} // namespace tw::test
