// zav-push-dev: a local push service for development. It answers the agent's
// detect, message and action requests and takes messages and raw answers
// through a small admin interface. See docs/push-dev.md.
#include "optionhelp.h"
#include "pushservice.h"

#include <httplib.h>

#include <QCommandLineParser>
#include <QString>
#include <QStringList>

#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

namespace {

// The text of --help.
QString usage(const QList<QCommandLineOption>& options)
{
    return QStringLiteral(
               "Usage: zav-push-dev [OPTION]...\n"
               "A local push service for developing with zav-msg-agent: it answers the agent's\n"
               "detect, message and action requests and takes messages and raw answers on an\n"
               "admin interface. One line per request goes to stdout. An agent polls it when\n"
               "it was built with PUSH_BASE_URL=http://HOST:PORT/push (the default of a\n"
               "build is http://127.0.0.1:8360/push).\n"
               "\n"
               "Options:\n") +
           describeOptions(options) +
           QStringLiteral("\n"
                          "An option takes its value as --option=VALUE or --option VALUE.\n"
                          "\n"
                          "Agent side: GET /push/channel/polling/detect, .../message and\n"
                          ".../action?id=ID. Admin side: POST /admin/messages, POST /admin/next\n"
                          "[?status=N], GET /admin/actions, GET /admin/queues.\n"
                          "\n"
                          "Exit status:\n"
                          "  0   stopped by SIGINT or SIGTERM (Ctrl-C)\n"
                          "  1   cannot listen on the address\n"
                          "  2   usage error, or a --messages file that cannot be loaded\n");
}

int usageError(const QString& reason)
{
    QString text = reason;
    if (text.endsWith(QLatin1Char('.'))) {
        text.chop(1); // the parser's own texts end with one
    }
    std::fprintf(stderr, "zav-push-dev: %s (see --help)\n", text.toLocal8Bit().constData());
    return 2;
}

PushService::Params paramsOf(const httplib::Request& req)
{
    PushService::Params params;
    for (const auto& p : req.params) {
        params.insert(QString::fromStdString(p.first), QString::fromStdString(p.second));
    }
    return params;
}

// One line per request: method, path, a GET's query, status and the start of
// the answer (control bytes shown as dots).
void logLine(const httplib::Request& req, int status, const std::string& answer)
{
    std::string body = answer.substr(0, 200);
    while (!body.empty() && body.back() == '\n') {
        body.pop_back();
    }
    for (char& c : body) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '.';
        }
    }
    if (answer.size() > 200) {
        body += "...";
    }
    const bool query = req.method == "GET" && !req.params.empty();
    const std::string params =
        query ? "?" + PushService::describe(paramsOf(req)).toStdString() : "";
    std::printf("%s %s%s -> %d %s\n", req.method.c_str(), req.path.c_str(), params.c_str(), status,
                body.c_str());
    std::fflush(stdout);
}

// Answers and logs the answer as the service wrote it (the library may
// compress it on the way out).
void send(const httplib::Request& req, httplib::Response& res, const Reply& reply)
{
    res.status = reply.status;
    res.set_content(reply.body.toStdString(), reply.contentType.constData());
    logLine(req, reply.status, reply.body.toStdString());
}

} // namespace

int main(int argc, char* argv[])
{
    std::setlocale(LC_ALL, "");
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        "address to listen on (default 127.0.0.1:8360;\nport 0 picks a free one, which the "
        "first line\non stdout names)",
        QStringLiteral("HOST:PORT"));
    const QCommandLineOption messagesOption(
        QStringLiteral("messages"),
        "JSON file of messages to queue at start (the\n/admin/messages form, one object or an\n"
        "array of them)",
        QStringLiteral("FILE"));
    const QCommandLineOption helpOption(QStringList{"h", "help"}, "show this help and exit");
    const QCommandLineOption versionOption(QStringList{"V", "version"},
                                           "show the version and exit");
    const QList<QCommandLineOption> options{listenOption, messagesOption, helpOption,
                                            versionOption};
    QCommandLineParser parser;
    parser.addOptions(options);
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }
    if (!parser.parse(args)) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(helpOption)) {
        std::fputs(usage(options).toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        std::puts("zav-push-dev " ZAV_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        return usageError(QStringLiteral("unexpected argument ") +
                          parser.positionalArguments().first());
    }
    QString host = QStringLiteral("127.0.0.1");
    int port = 8360;
    if (parser.isSet(listenOption)) {
        const QString value = parser.value(listenOption);
        const int colon = value.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        port = colon > 0 ? value.mid(colon + 1).toInt(&ok) : -1;
        if (!ok || port < 0 || port > 65535) {
            return usageError(QStringLiteral("--listen wants HOST:PORT, not ") + value);
        }
        host = value.left(colon);
    }
    const QString messagesFile = parser.value(messagesOption);

    PushService service;
    if (!messagesFile.isEmpty()) {
        const QString reason = service.load(messagesFile);
        if (!reason.isEmpty()) {
            std::fprintf(stderr, "zav-push-dev: %s\n", reason.toLocal8Bit().constData());
            return 2;
        }
    }

    // SIGINT and SIGTERM end the service cleanly: they are taken by a thread
    // of their own (blocked here before the server starts its threads).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    httplib::Server server;
    server.set_payload_max_length(1 << 20);
    // Idle keep-alive connections hold up stop() for this long.
    server.set_keep_alive_timeout(1);
    // SO_REUSEADDR, not the library's SO_REUSEPORT: the port can be taken
    // again at once by any server while the last one's connections wait out
    // their TIME_WAIT, and a second service on the same port is refused
    // instead of sharing the requests.
    server.set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, const std::exception_ptr&) {
            res.status = 500;
            res.set_content("internal error\n", "text/plain");
        });
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
        if (res.body.empty()) {
            res.set_content("status " + std::to_string(res.status) + ": " + req.method + " " +
                                req.path + "\n",
                            "text/plain");
            logLine(req, res.status, res.body);
        }
    });

    const std::string polling = "/push/channel/polling/";
    server.Get(polling + "detect", [&service](const httplib::Request& req, httplib::Response& res) {
        send(req, res, service.detect(paramsOf(req)));
    });
    server.Get(polling + "message",
               [&service](const httplib::Request& req, httplib::Response& res) {
                   send(req, res, service.fetch(paramsOf(req)));
               });
    server.Get(polling + "action", [&service](const httplib::Request& req, httplib::Response& res) {
        send(req, res, service.action(paramsOf(req)));
    });
    server.Post("/admin/messages", [&service](const httplib::Request& req, httplib::Response& res) {
        send(req, res, service.addMessages(QByteArray::fromStdString(req.body)));
    });
    server.Post("/admin/next", [&service](const httplib::Request& req, httplib::Response& res) {
        const QString status = req.has_param("status")
                                   ? QString::fromStdString(req.get_param_value("status"))
                                   : QString();
        send(req, res, service.queueRaw(QByteArray::fromStdString(req.body), status));
    });
    server.Get("/admin/actions", [&service](const httplib::Request& req, httplib::Response& res) {
        send(req, res, service.actions());
    });
    server.Get("/admin/queues", [&service](const httplib::Request& req, httplib::Response& res) {
        send(req, res, service.queues());
    });

    const std::string bindHost = host.toStdString();
    const int bound = port == 0 ? server.bind_to_any_port(bindHost)
                                : (server.bind_to_port(bindHost, port) ? port : -1);
    if (bound < 0) {
        std::fprintf(stderr, "zav-push-dev: cannot listen on %s:%d\n", bindHost.c_str(), port);
        return 1;
    }
    std::printf("zav-push-dev: listening on http://%s:%d/push\n", bindHost.c_str(), bound);
    std::fflush(stdout);

    std::thread([&server, stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        // stop() does nothing before the server runs: a signal that comes
        // right after the start would be lost. Wait for it (5 s at most).
        for (int i = 0; i < 500 && !server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        server.stop();
    }).detach();

    server.listen_after_bind();
    std::printf("zav-push-dev: stopped\n");
    return 0;
}
