// The HTTP libraries measured for zav-push: each serves a fixed detect answer
// from memory on 127.0.0.1:PORT, so that wrk shows what the library itself
// costs. Usage: httpprobe httplib|mhd PORT [THREADS]
#include <httplib.h>
#include <microhttpd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char answer[] = "{\"code\":800,\"data\":0}\n";

MHD_Result onRequest(void*, MHD_Connection* connection, const char*, const char*, const char*,
                     const char*, size_t*, void**)
{
    MHD_Response* response = MHD_create_response_from_buffer(
        sizeof answer - 1, const_cast<char*>(answer), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Content-Type", "application/json");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: httpprobe httplib|mhd PORT [THREADS]\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const unsigned threads = argc > 3 ? unsigned(std::atoi(argv[3])) : 2;
    std::signal(SIGPIPE, SIG_IGN);
    if (std::strcmp(argv[1], "httplib") == 0) {
        httplib::Server server;
        server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        server.Get("/push/channel/polling/detect",
                   [](const httplib::Request&, httplib::Response& res) {
                       res.set_content(answer, "application/json");
                   });
        server.listen("127.0.0.1", port);
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_TURBO, uint16_t(port), nullptr, nullptr, &onRequest,
        nullptr, MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_THREAD_POOL_SIZE, threads,
        MHD_OPTION_CONNECTION_LIMIT, 10000u, MHD_OPTION_END);
    if (!daemon) {
        std::fprintf(stderr, "cannot start\n");
        return 1;
    }
    pause();
    MHD_stop_daemon(daemon);
    return 0;
}
