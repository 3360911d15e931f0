// zav-push serve: the store opened and migrated, its detect view started,
// one Asio context per serving thread, the agents' and the admin's HTTP
// servers on them, until SIGINT or SIGTERM.
#include "cli/cli.h"
#include "http/routes.h"
#include "http/server.h"
#include "store/store.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace zp::cli {

namespace {

void runContext(boost::asio::io_context& context)
{
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zav-push: a request failed: %s\n", e.what());
        }
    }
}

} // namespace

int serve(const Args& args)
{
    const std::string url = args.options.count("db") ? args.options.at("db") : defaultStore();
    const std::string listen =
        args.options.count("listen") ? args.options.at("listen") : "127.0.0.1:8360";
    const std::string adminListen =
        args.options.count("admin-listen") ? args.options.at("admin-listen") : "127.0.0.1:8361";
    std::string prefix = args.options.count("prefix") ? args.options.at("prefix") : "/push";
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    const bool postgres = url.rfind("postgres", 0) == 0;
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    long threads = postgres ? long(cores) * 4 : long(cores);
    long maxConnections = 10000;
    long readTimeout = 10;
    long idleTimeout = 30;
    long viewMachines = long(zp::DetectView::defaultCap);
    for (const auto& [name, out] :
         {std::pair<const char*, long*>{"threads", &threads},
          std::pair<const char*, long*>{"max-connections", &maxConnections},
          std::pair<const char*, long*>{"read-timeout", &readTimeout},
          std::pair<const char*, long*>{"idle-timeout", &idleTimeout},
          std::pair<const char*, long*>{"view-machines", &viewMachines}}) {
        if (args.options.count(name)) {
            const bool view = out == &viewMachines;
            const long most = view ? 100000000 : 1000000;
            char* end = nullptr;
            *out = std::strtol(args.options.at(name).c_str(), &end, 10);
            if (*end || *out < (view ? 0 : 1) || *out > most) {
                return usageError(std::string("--") + name + " wants a number from " +
                                  (view ? "0" : "1") + " to " + std::to_string(most));
            }
        }
    }
    if (threads > 256) {
        return usageError("--threads is at most 256");
    }
    std::string host;
    unsigned short port = 0;
    if (!zp::splitAddress(listen, &host, &port) || !zp::splitAddress(adminListen, &host, &port)) {
        return usageError("--listen and --admin-listen want HOST:PORT");
    }
    // Each connection is a descriptor: take what the hard limit allows.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::signal(SIGPIPE, SIG_IGN);

    zp::PushStore store(url, std::size_t(threads) + 2);
    std::string reason;
    const int version = store.migrate(&reason);
    if (version < 0) {
        std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
        return Failed;
    }
    if (viewMachines > 0) {
        store.startView(std::size_t(viewMachines));
    }
    // One context per thread: each connection lives on one of them.
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
    std::vector<boost::asio::io_context*> spread;
    for (long i = 0; i < threads; ++i) {
        contexts.push_back(std::make_unique<boost::asio::io_context>(1));
        spread.push_back(contexts.back().get());
    }
    zp::HttpLimits agentLimits;
    agentLimits.maxConnections = std::size_t(maxConnections);
    agentLimits.bodyBytes = 4096;
    agentLimits.readSeconds = int(std::min(readTimeout, 3600L));
    agentLimits.idleSeconds = int(std::min(idleTimeout, 3600L));
    zp::HttpLimits adminLimits;
    adminLimits.maxConnections = 100;
    adminLimits.bodyBytes = 1 << 20;
    adminLimits.headerBytes = 16384;
    adminLimits.readSeconds = agentLimits.readSeconds;
    adminLimits.idleSeconds = agentLimits.idleSeconds;
    zp::HttpServer agents(
        spread, [&](const zp::HttpRequest& r) { return zp::agentSide(store, prefix, r); },
        agentLimits);
    zp::HttpServer admin(
        spread, [&](const zp::HttpRequest& r) { return zp::adminSide(store, r); }, adminLimits);
    if (!agents.listen(listen, &reason) || !admin.listen(adminListen, &reason)) {
        std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
        return Failed;
    }
    zp::splitAddress(listen, &host, &port);
    std::string adminHost;
    zp::splitAddress(adminListen, &adminHost, &port);
    std::printf("zav-push: listening on http://%s:%u%s, admin on http://%s:%u/admin, store "
                "schema %d\n",
                host.c_str(), unsigned(agents.port()), prefix.c_str(), adminHost.c_str(),
                unsigned(admin.port()), version);
    std::fflush(stdout);

    boost::asio::signal_set stops(*contexts.front(), SIGINT, SIGTERM);
    stops.async_wait([&](const boost::system::error_code&, int) {
        agents.stop();
        admin.stop();
        for (auto& context : contexts) {
            context->stop();
        }
    });
    std::vector<std::thread> pool;
    for (long i = 1; i < threads; ++i) {
        boost::asio::io_context* context = contexts[std::size_t(i)].get();
        pool.emplace_back([context] {
            // Kept running while it has no connection.
            auto work = boost::asio::make_work_guard(*context);
            runContext(*context);
        });
    }
    runContext(*contexts.front());
    for (std::thread& t : pool) {
        t.join();
    }
    std::printf("zav-push: stopped\n");
    return Done;
}

} // namespace zp::cli
