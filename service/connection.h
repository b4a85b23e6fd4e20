#pragma once
// The service's connections, read so that the head of a request is bounded while it arrives.
// The HTTP library keeps every header line it reads until the blank line, with no limit on
// their number: one connection sending header lines for ever would grow the service without
// end. Here each connection's requests are read through a stream that counts the head; once it
// passes its limits the stream ends the head itself, the request is answered 431 (see
// HeadTooLarge) and the connection is closed. The memory a connection holds stays within the
// limits whatever the peer sends.
#include <httplib.h>

#include <cstddef>
#include <memory>

namespace tws {

struct HeadLimits {
    std::size_t bytes = 0;      // request line and header fields, line ends included
    std::size_t lines = 0;      // request line and header fields
    std::size_t fieldBytes = 0; // one header field line
};

// True while the request being handled on this thread had its head cut at the limits.
bool HeadTooLarge();

// A plain server, or with `tls` a TLS server set up by it (as httplib::SSLServer's callback).
std::unique_ptr<httplib::Server> MakeBoundedServer(HeadLimits limits, const std::function<bool(SSL_CTX&)>& tls = {});

} // namespace tws
