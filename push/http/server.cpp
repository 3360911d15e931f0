#include "http/server.h"

#include "store/store.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <optional>

namespace zp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

class Session : public std::enable_shared_from_this<Session>
{
public:
    Session(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
        : stream(std::move(socket)), shared(std::move(shared))
    {
        ++this->shared->open;
    }
    ~Session() { --shared->open; }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void read(bool first)
    {
        parser.emplace();
        parser->header_limit(std::uint32_t(shared->limits.headerBytes));
        parser->body_limit(shared->limits.bodyBytes);
        // A connection that says nothing is closed after idleSeconds; one
        // that started a request has readSeconds for all of it.
        stream.expires_after(
            std::chrono::seconds(first ? shared->limits.readSeconds : shared->limits.idleSeconds));
        http::async_read(
            stream, buffer, *parser,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

private:
    void onRead(beast::error_code ec)
    {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::connection_reset || ec == asio::error::operation_aborted) {
            close();
            return;
        }
        if (ec) {
            // Refused before any handler saw it: too big, or not HTTP.
            Answer refusal;
            refusal.type = "text/plain; charset=utf-8";
            if (ec == http::error::header_limit) {
                refusal.status = 431;
                refusal.body = "request line and headers over " +
                               std::to_string(shared->limits.headerBytes) + " bytes\n";
            } else if (ec == http::error::body_limit) {
                refusal.status = 413;
                refusal.body = "body over " + std::to_string(shared->limits.bodyBytes) + " bytes\n";
            } else {
                refusal.status = 400;
                refusal.body = "bad request: " + ec.message() + "\n";
            }
            write(refusal, 11, false);
            return;
        }
        const http::request<http::string_body>& req = parser->get();
        HttpRequest request;
        request.method = std::string(req.method_string());
        request.target = std::string(req.target());
        request.body = req.body();
        request.authorization = std::string(req[http::field::authorization]);
        request.contentType = std::string(req[http::field::content_type]);
        const Answer answer = shared->handler(request);
        write(answer, req.version(), req.keep_alive());
    }

    void write(const Answer& answer, unsigned version, bool keepAlive)
    {
        response = {};
        response.version(version);
        response.result(static_cast<http::status>(answer.status));
        response.set(http::field::content_type, answer.type);
        response.body() = answer.body;
        response.keep_alive(keepAlive);
        response.prepare_payload();
        stream.expires_after(std::chrono::seconds(shared->limits.readSeconds));
        http::async_write(stream, response,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec && self->response.keep_alive()) {
                                  self->read(false);
                              } else {
                                  self->close();
                              }
                          });
    }

    void close()
    {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream.close();
    }

    beast::tcp_stream stream;
    beast::flat_buffer buffer{8192};
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
    std::shared_ptr<HttpServer::Shared> shared;
};

} // namespace

bool splitAddress(const std::string& address, std::string* host, unsigned short* port)
{
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == address.size() ||
        address.size() - colon > 6) {
        return false;
    }
    long value = 0;
    for (std::size_t i = colon + 1; i < address.size(); ++i) {
        if (address[i] < '0' || address[i] > '9') {
            return false;
        }
        value = value * 10 + (address[i] - '0');
    }
    if (value > 65535) {
        return false;
    }
    *host = address.substr(0, colon);
    if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    *port = static_cast<unsigned short>(value);
    return true;
}

HttpServer::HttpServer(std::vector<asio::io_context*> contexts, Handler handler, HttpLimits limits)
    : contexts(std::move(contexts)), acceptor(*this->contexts.front()),
      shared(std::make_shared<Shared>())
{
    shared->handler = std::move(handler);
    shared->limits = limits;
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string& address, std::string* reason)
{
    std::string host;
    unsigned short port = 0;
    if (!splitAddress(address, &host, &port)) {
        *reason = "not HOST:PORT: " + address;
        return false;
    }
    beast::error_code ec;
    if (host == "localhost") {
        host = "127.0.0.1";
    }
    const asio::ip::address ip = asio::ip::make_address(host, ec);
    if (ec) {
        *reason = "not an IP address: " + host;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *reason = "cannot listen on " + address + ": " + ec.message();
        return false;
    }
    accept();
    return true;
}

unsigned short HttpServer::port() const
{
    beast::error_code ec;
    return acceptor.local_endpoint(ec).port();
}

void HttpServer::stop()
{
    beast::error_code ignored;
    acceptor.close(ignored);
}

void HttpServer::accept()
{
    asio::io_context& home = *contexts[next++ % contexts.size()];
    acceptor.async_accept(home, [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) {
            return;
        }
        if (ec) {
            // Out of descriptors, or the like: wait a moment rather than spin.
            auto timer = std::make_shared<asio::steady_timer>(*contexts.front(),
                                                              std::chrono::milliseconds(50));
            timer->async_wait([this, timer](beast::error_code) {
                if (acceptor.is_open()) {
                    accept();
                }
            });
            return;
        }
        if (shared->open.load() >= shared->limits.maxConnections) {
            beast::error_code ignored;
            socket.close(ignored); // over the cap: the others keep being served
        } else {
            socket.set_option(tcp::no_delay(true), ec);
            std::make_shared<Session>(std::move(socket), shared)->read(true);
        }
        accept();
    });
}

} // namespace zp
