// Load for zav-push's benchmark, on loopback only, bounded in count and time.
//
//   push_load rate PORT RATE SECONDS [MACHINES]
//       detect queries of random machines (fingerprint=fNNNNNNN) sent at a
//       fixed rate, whatever the answers do (open loop); latency is counted
//       from each request's planned time, so a stall shows in the figures.
//   push_load messages PORT SECONDS CONNECTIONS [FIRST]
//       message fetches of machines one after the other from FIRST (each a
//       new machine), as fast as the answers come: answers and delivered
//       messages per second.
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

struct Stats
{
    std::vector<double> latencyMs;
    long answered = 0;
    long errors = 0;
    long messages = 0;
};

class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(asio::io_context& io, const tcp::endpoint& at, Stats& stats)
        : stream(io), at(at), stats(stats)
    {
    }
    bool busy = false;
    /// Sends one GET; planned is when it should have gone out.
    void send(const std::string& target, Clock::time_point planned, std::function<void()> done)
    {
        busy = true;
        this->planned = planned;
        this->done = std::move(done);
        req = {http::verb::get, target, 11};
        req.set(http::field::host, "127.0.0.1");
        if (!connected) {
            stream.async_connect(at, [self = shared_from_this()](beast::error_code ec) {
                if (ec) {
                    return self->fail();
                }
                self->connected = true;
                self->write();
            });
        } else {
            write();
        }
    }

private:
    void write()
    {
        stream.expires_after(std::chrono::seconds(10));
        http::async_write(
            stream, req, [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec) {
                    return self->fail();
                }
                self->res = {};
                http::async_read(
                    self->stream, self->buffer, self->res,
                    [self](beast::error_code ec2, std::size_t) {
                        if (ec2) {
                            return self->fail();
                        }
                        const double ms =
                            std::chrono::duration<double, std::milli>(Clock::now() - self->planned)
                                .count();
                        self->stats.latencyMs.push_back(ms);
                        if (self->res.result_int() == 200) {
                            ++self->stats.answered;
                            // Messages delivered: one "uuid" each.
                            const std::string& body = self->res.body();
                            for (std::size_t at = body.find("\"uuid\""); at != std::string::npos;
                                 at = body.find("\"uuid\"", at + 1)) {
                                ++self->stats.messages;
                            }
                        } else {
                            ++self->stats.errors;
                        }
                        self->busy = false;
                        self->done();
                    });
            });
    }
    void fail()
    {
        ++stats.errors;
        beast::error_code ignored;
        stream.socket().close(ignored);
        connected = false;
        busy = false;
        done();
    }
    beast::tcp_stream stream;
    tcp::endpoint at;
    Stats& stats;
    bool connected = false;
    Clock::time_point planned;
    std::function<void()> done;
    beast::flat_buffer buffer;
    http::request<http::empty_body> req;
    http::response<http::string_body> res;
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

char target[96];

const char* fingerprintTarget(const char* what, long machine)
{
    std::snprintf(target, sizeof target, "/push/channel/polling/%s?fingerprint=f%07ld", what,
                  machine);
    return target;
}

} // namespace

int run(int argc, char* argv[])
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: push_load rate PORT RATE SECONDS [MACHINES]\n"
                             "       push_load messages PORT SECONDS CONNECTIONS [FIRST]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const tcp::endpoint at(asio::ip::make_address("127.0.0.1"),
                           static_cast<unsigned short>(std::atoi(argv[2])));
    asio::io_context io;
    Stats stats;
    std::vector<std::shared_ptr<Connection>> pool;
    if (mode == "rate") {
        const long rate = std::min(std::atol(argv[3]), 100000L);
        const long seconds = std::min(std::atol(argv[4]), 300L);
        const long machines = argc > 5 ? std::atol(argv[5]) : 1000000;
        std::mt19937_64 random(42);
        std::uniform_int_distribution<long> pick(1, machines);
        const Clock::time_point start = Clock::now();
        const long total = rate * seconds;
        long sent = 0;
        long late = 0;
        asio::steady_timer timer(io);
        std::function<void()> tick = [&] {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const long due = std::min(total, long(elapsed * double(rate)));
            while (sent < due) {
                const Clock::time_point planned =
                    start + std::chrono::nanoseconds(long(1e9 * double(sent) / double(rate)));
                auto free =
                    std::find_if(pool.begin(), pool.end(), [](const auto& c) { return !c->busy; });
                if (free == pool.end()) {
                    if (pool.size() >= 1000) { // no more connections: counted as late
                        ++late;
                        ++sent;
                        continue;
                    }
                    pool.push_back(std::make_shared<Connection>(io, at, stats));
                    free = pool.end() - 1;
                }
                (*free)->send(fingerprintTarget("detect", pick(random)), planned, [] {});
                ++sent;
            }
            if (sent < total) {
                timer.expires_after(std::chrono::microseconds(200));
                timer.async_wait([&](beast::error_code) { tick(); });
            }
        };
        tick();
        io.run();
        std::printf("rate %ld/s for %ld s: sent %ld, answered %ld, errors %ld, not sent "
                    "(1000 connections busy) %ld, connections %zu\n",
                    rate, seconds, sent, stats.answered, stats.errors, late, pool.size());
        std::printf("latency from the planned time: p50 %.2f ms, p99 %.2f ms, p99.9 %.2f ms, max "
                    "%.2f ms\n",
                    percentile(stats.latencyMs, 0.5), percentile(stats.latencyMs, 0.99),
                    percentile(stats.latencyMs, 0.999), percentile(stats.latencyMs, 1.0));
        return 0;
    }
    const long seconds = std::min(std::atol(argv[3]), 300L);
    const long connections = std::min(std::atol(argv[4]), 1000L);
    long next = argc > 5 ? std::atol(argv[5]) : 1;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::seconds(seconds);
    std::function<void(const std::shared_ptr<Connection>&)> again =
        [&](const std::shared_ptr<Connection>& c) {
            if (Clock::now() >= end) {
                return;
            }
            c->send(fingerprintTarget("message", next++), Clock::now(), [&, c] { again(c); });
        };
    for (long i = 0; i < connections; ++i) {
        pool.push_back(std::make_shared<Connection>(io, at, stats));
        again(pool.back());
    }
    io.run();
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("message answers: %ld in %.1f s = %.0f/s, messages delivered (each with its "
                "record) %.0f/s, errors %ld, p50 %.2f ms, p99 %.2f ms, next machine %ld\n",
                stats.answered, took, double(stats.answered) / took, double(stats.messages) / took,
                stats.errors, percentile(stats.latencyMs, 0.5), percentile(stats.latencyMs, 0.99),
                next);
    return 0;
}

int main(int argc, char* argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "push_load: %s\n", e.what());
        return 1;
    }
}
