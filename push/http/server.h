// The service's HTTP side, on Boost.Beast: listens on one address, reads each
// request within bounds (request line and headers, body, time), hands it to a
// handler and writes the answer. Used for the agents' port and the admin port.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zp {

struct Answer;

struct HttpRequest
{
    std::string method;
    std::string target;
    std::string body;
    std::string authorization;
    std::string contentType;
};

struct HttpLimits
{
    std::size_t maxConnections = 10000; ///< more are closed at once
    std::size_t headerBytes = 8192;     ///< request line and headers; past it: 431
    std::size_t bodyBytes = 0;          ///< past it: 413
    int readSeconds = 10;               ///< to send one request's headers and body
    int idleSeconds = 30;               ///< a kept-alive connection with nothing to say
};

class HttpServer
{
public:
    using Handler = std::function<Answer(const HttpRequest&)>;
    /// Connections are spread over the contexts, each run by one thread of
    /// its own (so a connection needs no strand); the first one accepts.
    HttpServer(std::vector<boost::asio::io_context*> contexts, Handler handler, HttpLimits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;
    /// Binds "HOST:PORT" (port 0: any free one); false and the reason.
    bool listen(const std::string& address, std::string* reason);
    unsigned short port() const;
    std::size_t connections() const { return shared->open.load(); }
    void stop();

    struct Shared
    {
        Handler handler;
        HttpLimits limits;
        std::atomic<std::size_t> open{0};
    };

private:
    void accept();
    std::vector<boost::asio::io_context*> contexts;
    std::size_t next = 0;
    boost::asio::ip::tcp::acceptor acceptor;
    std::shared_ptr<Shared> shared;
};

/// "HOST:PORT" split; false when it is not one.
bool splitAddress(const std::string& address, std::string* host, unsigned short* port);

} // namespace zp
