#include "admin/client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <chrono>

namespace zp {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

ClientAnswer adminRequest(const std::string& base, const std::string& method,
                          const std::string& path, const std::string& token,
                          const std::string& body, int timeoutMs)
{
    ClientAnswer out;
    const std::string scheme = "http://";
    if (base.compare(0, scheme.size(), scheme) != 0) {
        out.body = "the admin URL must start with http://: " + base;
        return out;
    }
    std::string hostPort = base.substr(scheme.size());
    while (!hostPort.empty() && hostPort.back() == '/') {
        hostPort.pop_back();
    }
    const std::size_t colon = hostPort.rfind(':');
    const std::string host = colon == std::string::npos ? hostPort : hostPort.substr(0, colon);
    const std::string port = colon == std::string::npos ? "80" : hostPort.substr(colon + 1);
    asio::io_context io;
    beast::tcp_stream stream(io);
    tcp::resolver resolver(io);
    beast::error_code ec;
    const auto endpoints = resolver.resolve(host, port, ec);
    if (ec) {
        out.body = "cannot resolve " + host + ": " + ec.message();
        return out;
    }
    bool done = false;
    stream.expires_after(std::chrono::milliseconds(timeoutMs));
    stream.async_connect(endpoints, [&](beast::error_code e, const tcp::endpoint&) {
        ec = e;
        done = true;
    });
    io.run();
    if (!done || ec) {
        out.body = "cannot reach " + base + ": " + ec.message();
        return out;
    }
    http::request<http::string_body> req{http::string_to_verb(method), path, 11};
    req.set(http::field::host, hostPort);
    if (!token.empty()) {
        req.set(http::field::authorization, "Bearer " + token);
    }
    if (!body.empty() || method != "GET") {
        req.set(http::field::content_type, "application/json");
        req.body() = body;
        req.prepare_payload();
    }
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 * 1024 * 1024);
    beast::flat_buffer buffer;
    io.restart();
    stream.expires_after(std::chrono::milliseconds(timeoutMs));
    http::async_write(stream, req, [&](beast::error_code e, std::size_t) {
        ec = e;
        if (!e) {
            http::async_read(stream, buffer, parser,
                             [&](beast::error_code e2, std::size_t) { ec = e2; });
        }
    });
    io.run();
    if (ec) {
        out.body = "no answer from " + base + ": " + ec.message();
        return out;
    }
    out.status = int(parser.get().result_int());
    out.body = parser.get().body();
    return out;
}

} // namespace zp
