// zav-msgctl: speaks the agent's pipe protocol from a shell or a host product.
//
// It starts often and does little, so it keeps its start cheap: no
// application object and no Qt Network, just the socket calls.
#include "ipc/pipepath.h"
#include "message/pipereply.h"
#include "msgctl.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringList>
#include <QTextStream>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

/// The most a reply may hold (a long message list is a few hundred KiB).
const int maxReply = 512 * 1024 * 1024; // a full queue's list fits

void print(FILE* stream, const QString& text)
{
    QTextStream out(stream);
    out << text;
    if (!text.endsWith(QLatin1Char('\n'))) {
        out << '\n';
    }
}

int fail(int status, const QString& reason)
{
    print(stderr, QStringLiteral("zav-msgctl: ") + reason);
    return status;
}

QString connectError(int error)
{
    switch (error) {
    case ENOENT:
        return QStringLiteral("no socket there");
    case ECONNREFUSED:
        return QStringLiteral("connection refused: a socket left by an agent that died?");
    case EACCES:
        return QStringLiteral("permission denied");
    case EAGAIN:
    case EINPROGRESS:
        return QStringLiteral("timed out");
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// Debug lines of the shared code (the client record's parse) are not the
// tool's output.
void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg) {
        print(stderr, text);
    }
}

/// Closes a descriptor when it goes out of scope.
struct Descriptor
{
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

/// Sends the command and reads the reply until it is whole or time is up
/// (the protocol has no framing). Returns an exit status.
int exchange(const msgctl::Request& request, const QString& path, QByteArray* reply)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (native.size() >= int(sizeof address.sun_path)) {
        return fail(msgctl::NoAgent, QStringLiteral("socket path too long: ") + path);
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));

    const Descriptor socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (socket.fd < 0) {
        return fail(msgctl::NoAgent, QString::fromLocal8Bit(std::strerror(errno)));
    }
    // connect() and send() wait at most this long (an agent whose backlog is full).
    timeval limit{request.timeoutMs / 1000, suseconds_t(request.timeoutMs % 1000) * 1000};
    ::setsockopt(socket.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    QElapsedTimer clock;
    clock.start();
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(msgctl::NoAgent, QStringLiteral("no agent is listening on ") + path + " (" +
                                         connectError(errno) + ")");
    }
    const QByteArray command = request.command.toUtf8();
    for (qint64 sent = 0; sent < command.size();) {
        const ssize_t n = ::send(socket.fd, command.constData() + sent,
                                 size_t(command.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            return fail(msgctl::NoReply, QStringLiteral("cannot send the command: ") +
                                             QString::fromLocal8Bit(std::strerror(errno)));
        }
        sent += n > 0 ? n : 0;
    }

    // The reply comes in parts (a big message list in many): read as long as
    // parts keep coming, each within the time-out.
    char buffer[64 * 1024];
    PipeReply tracker;
    while (!tracker.isWhole() && tracker.bytes().size() < maxReply) {
        const qint64 left = request.timeoutMs - clock.elapsed();
        pollfd ready{socket.fd, POLLIN, 0};
        const int polled = left > 0 ? ::poll(&ready, 1, int(left)) : 0;
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        const ssize_t n = polled > 0 ? ::read(socket.fd, buffer, sizeof buffer) : 0;
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // time is up, or the agent closed the connection
        }
        tracker.add(QByteArray::fromRawData(buffer, int(n)));
        clock.restart();
    }
    *reply = tracker.bytes();
    if (reply->isEmpty()) {
        return fail(msgctl::NoReply,
                    QStringLiteral("the agent did not reply within %1 ms").arg(request.timeoutMs));
    }
    if (!tracker.isWhole()) {
        return fail(
            msgctl::NoReply,
            QStringLiteral("the agent's reply stopped short after %1 bytes").arg(reply->size()));
    }
    return msgctl::Replied;
}

} // namespace

int main(int argc, char* argv[])
{
    std::setlocale(LC_ALL, "");
    qInstallMessageHandler(quietHandler);
    QStringList args;
    for (int i = 1; i < argc; ++i) {
        args << QString::fromLocal8Bit(argv[i]);
    }

    msgctl::Request request;
    QString text;
    const int status = msgctl::parse(args, &request, &text);
    if (status >= 0) {
        print(status == msgctl::Replied ? stdout : stderr, text);
        return status;
    }

    QString path = request.socketPath;
    if (path.isEmpty()) {
        QString why;
        path = pipePath(&why);
        if (path.isEmpty()) {
            return fail(msgctl::NoAgent, QStringLiteral("no agent: ") + why);
        }
    }
    QByteArray reply;
    const int exchanged = exchange(request, path, &reply);
    if (exchanged != msgctl::Replied) {
        return exchanged;
    }
    const QString answer = QString::fromUtf8(reply.constData(), reply.size());
    if (answer.startsWith(QLatin1String("ERROR:"))) {
        return fail(msgctl::Refused, QStringLiteral("the agent refused the command: ") + answer);
    }
    print(stdout, request.pretty ? msgctl::prettyMessages(answer) : answer);
    return msgctl::Replied;
}
