// The third HTTP library measured for zav-push: Boost.Beast on Asio serving
// the same fixed detect answer as httpprobe. Usage: beastprobe PORT [THREADS]
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

class Session : public std::enable_shared_from_this<Session>
{
public:
    explicit Session(tcp::socket socket) : stream(std::move(socket)) {}
    void read()
    {
        request = {};
        http::async_read(stream, buffer, request,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) {
                             if (!ec) {
                                 self->answer();
                             }
                         });
    }

private:
    void answer()
    {
        response = {};
        response.result(http::status::ok);
        response.version(request.version());
        response.set(http::field::content_type, "application/json");
        response.body() = "{\"code\":800,\"data\":0}\n";
        response.keep_alive(request.keep_alive());
        response.prepare_payload();
        http::async_write(stream, response,
                          [self = shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!ec && self->response.keep_alive()) {
                                  self->read();
                              }
                          });
    }
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
};

void accept(tcp::acceptor& acceptor, asio::io_context& io)
{
    acceptor.async_accept(asio::make_strand(io), [&](beast::error_code ec, tcp::socket socket) {
        if (!ec) {
            std::make_shared<Session>(std::move(socket))->read();
        }
        accept(acceptor, io);
    });
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: beastprobe PORT [THREADS]\n");
        return 2;
    }
    const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
    asio::io_context io(threads);
    tcp::acceptor acceptor(
        io, {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::atoi(argv[1]))});
    accept(acceptor, io);
    std::vector<std::thread> pool;
    for (int i = 1; i < threads; ++i) {
        pool.emplace_back([&io] { io.run(); });
    }
    io.run();
    for (auto& t : pool) {
        t.join();
    }
    return 0;
}
