// zav-msgctl: speaks the agent's pipe protocol from a shell or a host product.
#include "ipc/pipepath.h"
#include "message/pipereply.h"
#include "msgctl.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTextStream>

#include <cstdio>

namespace {

enum ExitStatus
{
    Replied = 0,
    NoAgent = 1,
    UsageError = 2,
    NoReply = 3
};

QString connectError(const QLocalSocket& socket)
{
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("no socket there");
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused: a socket left by an agent that died?");
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("permission denied");
    case QLocalSocket::SocketTimeoutError:
        return QStringLiteral("timed out");
    default:
        return socket.errorString();
    }
}

int fail(int status, const QString& reason)
{
    QTextStream(stderr) << "zav-msgctl: " << reason << '\n';
    return status;
}

// Debug lines of the shared code (the client record's parse) are not the
// tool's output.
void quietHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg && type != QtInfoMsg) {
        QTextStream(stderr) << text << '\n';
    }
}

} // namespace

int main(int argc, char* argv[])
{
    qInstallMessageHandler(quietHandler);
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);

    QString socketPath;
    int timeoutMs = 2000;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("-"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("-h") || option == QLatin1String("--help")) {
            QTextStream(stdout) << msgctl::usage();
            return Replied;
        }
        if (args.isEmpty()) {
            return fail(UsageError, option + QStringLiteral(" needs a value (see --help)"));
        }
        const QString value = args.takeFirst();
        if (option == QLatin1String("--socket")) {
            socketPath = value;
        } else if (option == QLatin1String("--timeout")) {
            bool ok = false;
            timeoutMs = value.toInt(&ok);
            if (!ok || timeoutMs <= 0) {
                return fail(UsageError,
                            QStringLiteral("--timeout wants milliseconds, not ") + value);
            }
        } else {
            return fail(UsageError, QStringLiteral("unknown option ") + option + " (see --help)");
        }
    }
    if (args.isEmpty()) {
        return fail(UsageError, QStringLiteral("no command given (see --help)"));
    }

    const QString verb = args.takeFirst();
    QString command;
    bool pretty = false;
    if (verb == QLatin1String("hello") && args.isEmpty()) {
        command = QStringLiteral("Hello");
    } else if (verb == QLatin1String("count") && args.size() == 1) {
        command = QStringLiteral("MessageCount:") + args.first();
    } else if (verb == QLatin1String("get") && !args.isEmpty() && args.size() <= 2) {
        pretty = true;
        if (args.size() == 2) {
            if (args.first() != QLatin1String("--raw")) {
                return fail(UsageError, QStringLiteral("get [--raw] PID (see --help)"));
            }
            pretty = false;
        }
        command = QStringLiteral("GetMessage:") + args.last();
    } else if (verb == QLatin1String("register")) {
        command = msgctl::registerCommand(args);
    } else if (verb == QLatin1String("popup")) {
        QString error;
        if (!msgctl::popupCommand(args, &command, &error)) {
            return fail(UsageError, error + QStringLiteral(" (see --help)"));
        }
    } else if (verb == QLatin1String("raw") && args.size() == 1) {
        command = args.first();
    } else {
        return fail(UsageError, QStringLiteral("bad command line for ") + verb + " (see --help)");
    }

    if (socketPath.isEmpty()) {
        QString why;
        socketPath = pipePath(&why);
        if (socketPath.isEmpty()) {
            return fail(NoAgent, QStringLiteral("no agent: ") + why);
        }
    }

    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs)) {
        return fail(NoAgent, QStringLiteral("no agent is listening on ") + socketPath + " (" +
                                 connectError(socket) + ")");
    }
    socket.write(command.toUtf8());
    socket.flush();

    // The protocol has no framing: read until the reply is whole, as long as
    // it keeps coming (a big message list comes in many parts).
    QElapsedTimer clock;
    clock.start();
    PipeReply tracker;
    while (!tracker.isWhole()) {
        if (socket.bytesAvailable() == 0) {
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0 || !socket.waitForReadyRead(int(left))) {
                if (socket.bytesAvailable() == 0) {
                    break;
                }
            }
        }
        tracker.add(socket.readAll());
        clock.restart();
    }
    const QByteArray& reply = tracker.bytes();
    if (reply.isEmpty()) {
        return fail(NoReply, QStringLiteral("the agent did not reply within %1 ms").arg(timeoutMs));
    }
    if (!tracker.isWhole()) {
        return fail(
            NoReply,
            QStringLiteral("the agent's reply stopped short after %1 bytes").arg(reply.size()));
    }

    const QString text = QString::fromUtf8(reply.constData(), reply.size());
    QTextStream(stdout) << (pretty ? msgctl::prettyMessages(text) : text) << '\n';
    return Replied;
}
