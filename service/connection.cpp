#include "connection.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <type_traits>

namespace tws {

namespace {

thread_local bool t_headTooLarge = false;

// True when `events` happened on the socket within the time (an error or hang-up counts: the
// read or write then tells).
bool WaitFor(int sock, short events, long long ms) {
    pollfd p{sock, events, 0};
    int r;
    do
        r = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, INT_MAX)));
    while (r < 0 && errno == EINTR);
    return r > 0;
}

void Address(int sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage addr{};
    socklen_t size = sizeof addr;
    const int r = peer ? ::getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &size)
                       : ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &size);
    if (r != 0)
        return;
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    ip = text;
}

// One connection's bytes, plain or through TLS. While a request's head is read, every byte is
// counted; past the limits the stream ends the head itself and gives nothing more.
class BoundedStream final : public httplib::Stream {
public:
    BoundedStream(int sock, SSL* ssl, HeadLimits limits, long long readMs, long long writeMs)
        : sock_(sock), ssl_(ssl), limits_(limits), readMs_(readMs), writeMs_(writeMs) {}

    void BeginRequest() {
        inHead_ = true;
        matched_ = 0;
        bytes_ = lines_ = lineBytes_ = 0;
        cut_ = false;
        t_headTooLarge = false;
    }
    bool Cut() const { return cut_; }
    bool Buffered() const { return pos_ < len_ || (ssl_ && SSL_pending(ssl_) > 0); }

    bool is_readable() const override { return Buffered() || WaitFor(sock_, POLLIN, readMs_); }
    bool is_writable() const override { return WaitFor(sock_, POLLOUT, writeMs_); }

    ssize_t read(char* ptr, size_t size) override {
        if (!ending_.empty()) {
            const std::size_t n = std::min(size, ending_.size());
            std::memcpy(ptr, ending_.data(), n);
            ending_.erase(0, n);
            return static_cast<ssize_t>(n);
        }
        if (cut_)
            return 0;
        if (pos_ == len_) {
            if (!is_readable())
                return -1;
            const ssize_t got = ssl_ ? SslRead() : ::recv(sock_, buffer_, sizeof buffer_, 0);
            if (got <= 0)
                return got;
            pos_ = 0;
            len_ = static_cast<std::size_t>(got);
        }
        std::size_t n = std::min(size, len_ - pos_);
        if (inHead_)
            n = CountHead(n);
        std::memcpy(ptr, buffer_ + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        if (ssl_) {
            const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            return n > 0 ? n : -1;
        }
        return ::send(sock_, ptr, size, MSG_NOSIGNAL);
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(sock_, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(sock_, false, ip, port); }
    socket_t socket() const override { return sock_; }

private:
    // How many of the next `n` buffered bytes belong to the head as the limits allow.
    std::size_t CountHead(std::size_t n) {
        static constexpr char kEnd[] = "\r\n\r\n";
        for (std::size_t i = 0; i < n; ++i) {
            const char c = buffer_[pos_ + i];
            matched_ = c == kEnd[matched_] ? matched_ + 1 : c == '\r' ? 1 : 0;
            if (matched_ == 4) {
                inHead_ = false;
                return i + 1;
            }
            if (c == '\n') {
                ++lines_;
                lineBytes_ = 0;
            } else {
                ++lineBytes_;
            }
            if (++bytes_ > limits_.bytes || lines_ > limits_.lines || (lines_ > 0 && lineBytes_ > limits_.fieldBytes)) {
                // The head ends here, as if its blank line had come; the rest is never read.
                cut_ = true;
                t_headTooLarge = true;
                ending_ = kEnd + matched_;
                return i + 1;
            }
        }
        return n;
    }

    ssize_t SslRead() {
        const int n = SSL_read(ssl_, buffer_, sizeof buffer_);
        if (n > 0)
            return n;
        return SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    int sock_;
    SSL* ssl_;
    HeadLimits limits_;
    long long readMs_, writeMs_;
    char buffer_[4096];
    std::size_t pos_ = 0, len_ = 0;
    bool inHead_ = false, cut_ = false;
    int matched_ = 0; // bytes of "\r\n\r\n" seen last
    std::size_t bytes_ = 0, lines_ = 0, lineBytes_ = 0;
    std::string ending_; // the end of the head the stream gives in place of the rest
};

// The library's server with each connection served through a BoundedStream.
template <class Base> class Bounded final : public Base {
public:
    template <class... Args>
    explicit Bounded(HeadLimits limits, Args&&... args) : Base(std::forward<Args>(args)...), limits_(limits) {}

private:
    static constexpr bool kTls = std::is_same_v<Base, httplib::SSLServer>;

    bool process_and_close_socket(socket_t sock) override {
        SSL* ssl = nullptr;
        bool ok = false;
        if constexpr (kTls)
            ssl = Handshake(sock);
        if (!kTls || ssl)
            ok = Serve(sock, ssl);
        if (ssl) {
            if (ok)
                SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    SSL* Handshake(int sock) {
        if constexpr (kTls) {
            timeval read{this->read_timeout_sec_, static_cast<suseconds_t>(this->read_timeout_usec_)};
            timeval write{this->write_timeout_sec_, static_cast<suseconds_t>(this->write_timeout_usec_)};
            ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &read, sizeof read);
            ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &write, sizeof write);
            SSL* ssl = SSL_new(this->ssl_context());
            if (ssl && SSL_set_fd(ssl, sock) == 1 && SSL_accept(ssl) == 1)
                return ssl;
            SSL_free(ssl);
        }
        return nullptr;
    }

    bool Serve(int sock, SSL* ssl) {
        BoundedStream stream(sock, ssl, limits_, this->read_timeout_sec_ * 1000 + this->read_timeout_usec_ / 1000,
                             this->write_timeout_sec_ * 1000 + this->write_timeout_usec_ / 1000);
        bool ok = false;
        for (std::size_t left = this->keep_alive_max_count_; left > 0 && Running(); --left) {
            if (!stream.Buffered() && !NextRequest(sock))
                break;
            stream.BeginRequest();
            bool closed = false;
            ok = this->process_request(stream, left == 1, closed, nullptr);
            if (stream.Cut()) {
                if (!ssl)
                    Linger(sock);
                break;
            }
            if (!ok || closed)
                break;
        }
        t_headTooLarge = false;
        return ok;
    }

    bool Running() const { return this->svr_sock_ != INVALID_SOCKET; }

    // Waits for the next request for the keep-alive time, giving up early when the server stops.
    bool NextRequest(int sock) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(this->keep_alive_timeout_sec_);
        while (Running()) {
            if (WaitFor(sock, POLLIN, 50))
                return true;
            if (std::chrono::steady_clock::now() >= end)
                return false;
        }
        return false;
    }

    // After the 431: no more is sent, and what the peer still sends is read and dropped for a
    // moment, so that closing does not reset the connection before the answer was read.
    static void Linger(int sock) {
        ::shutdown(sock, SHUT_WR);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        char sink[4096];
        while (std::chrono::steady_clock::now() < end && WaitFor(sock, POLLIN, 100))
            if (::recv(sock, sink, sizeof sink, 0) <= 0)
                break;
    }

    HeadLimits limits_;
};

} // namespace

bool HeadTooLarge() {
    return t_headTooLarge;
}

std::unique_ptr<httplib::Server> MakeBoundedServer(HeadLimits limits, const std::function<bool(SSL_CTX&)>& tls) {
    if (tls)
        return std::make_unique<Bounded<httplib::SSLServer>>(limits, tls);
    return std::make_unique<Bounded<httplib::Server>>(limits);
}

} // namespace tws
