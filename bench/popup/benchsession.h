// A private X server (Xvfb on a free display) with the real agent on it, and
// the xdotool look-ups the popup benchmark needs.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QRect>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <memory>

/// Lets the event loop run for ms.
inline void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

class BenchSession
{
public:
    /// Whether Xvfb and xdotool are installed.
    static bool available()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
    }

    ~BenchSession() { stop(); }

    /// Starts Xvfb (which picks a free display) and a stub xdg-open that
    /// records the URLs it is given. False on failure.
    bool start(const QString& screen = QStringLiteral("1280x1024x24"))
    {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile stub(dir.filePath(QStringLiteral("xdg-open")));
        if (!stub.open(QIODevice::WriteOnly)) {
            return false;
        }
        stub.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$(dirname \"$0\")/opened.txt\"\n");
        stub.close();
        stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        xvfb.setProgram(QStringLiteral("Xvfb"));
        xvfb.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"),
                           QStringLiteral("-screen"), QStringLiteral("0"), screen,
                           QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        xvfb.setProcessChannelMode(QProcess::SeparateChannels);
        xvfb.setStandardErrorFile(QProcess::nullDevice());
        xvfb.start();
        if (!xvfb.waitForStarted(5000)) {
            return false;
        }
        QByteArray number;
        while (!number.endsWith('\n') && xvfb.waitForReadyRead(10000)) {
            number += xvfb.readAllStandardOutput();
        }
        if (number.trimmed().isEmpty()) {
            return false;
        }
        display = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        return true;
    }

    /// Environment for programs on this display, with the private runtime dir.
    /// The agent chooses its GL integration itself unless glIntegration is given.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("QT_XCB_GL_INTEGRATION"));
        if (!glIntegration.isEmpty()) {
            env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), glIntegration);
        }
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path());
        env.insert(QStringLiteral("PATH"), dir.path() + QLatin1Char(':') + env.value("PATH"));
        env.remove(QStringLiteral("XAUTHORITY"));
        return env;
    }

    /// Starts the agent for a host process id; waits until its pipe answers.
    bool startAgent(const QString& program, const QStringList& extraArgs = {})
    {
        agent.setProcessEnvironment(environment());
        agent.setProcessChannelMode(QProcess::MergedChannels);
        agent.setStandardOutputFile(dir.filePath(QStringLiteral("agent.log")));
        agent.start(program,
                    QStringList{"-pid", QString::number(QCoreApplication::applicationPid()),
                                "-product", "P", "-mac", "M"} +
                        extraArgs);
        if (!agent.waitForStarted(5000)) {
            return false;
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 15000) {
            if (send(QStringLiteral("Hello")) == QLatin1String("OK")) {
                return true;
            }
            QThread::msleep(20);
        }
        return false;
    }

    /// One command over the agent's pipe; its reply, or empty.
    QString send(const QString& command)
    {
        QLocalSocket socket;
        socket.connectToServer(dir.filePath(QStringLiteral("zav_msg_ipc_pipe")));
        if (!socket.waitForConnected(2000)) {
            return QString();
        }
        socket.write(command.toUtf8());
        socket.flush();
        QByteArray reply;
        while (reply.isEmpty() && socket.waitForReadyRead(5000)) {
            reply += socket.readAll();
        }
        return QString::fromUtf8(reply);
    }

    /// Runs a program on the display; its standard output.
    QString run(const QString& program, const QStringList& args)
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(program, args);
        p.waitForFinished(10000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    /// Ids of the visible popup windows (by their title), newest last.
    QStringList popups()
    {
        return run(QStringLiteral("xdotool"),
                   {"search", "--onlyvisible", "--name", QStringLiteral("消息框")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    /// A window's place and size on the screen.
    QRect geometry(const QString& window)
    {
        const QString out =
            run(QStringLiteral("xdotool"), {"getwindowgeometry", "--shell", window});
        QRect r;
        for (const QString& line : out.split(QLatin1Char('\n'))) {
            const int value = line.section(QLatin1Char('='), 1).toInt();
            if (line.startsWith(QLatin1String("X="))) {
                r.moveLeft(value);
            } else if (line.startsWith(QLatin1String("Y="))) {
                r.moveTop(value);
            } else if (line.startsWith(QLatin1String("WIDTH="))) {
                r.setWidth(value);
            } else if (line.startsWith(QLatin1String("HEIGHT="))) {
                r.setHeight(value);
            }
        }
        return r;
    }

    void click(const QPoint& at)
    {
        run(QStringLiteral("xdotool"),
            {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
    }

    /// URLs the stub xdg-open received.
    QStringList opened() const
    {
        QFile f(dir.filePath(QStringLiteral("opened.txt")));
        if (!f.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void stop()
    {
        for (QProcess* p : {&agent, &xvfb}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(5000)) {
                    p->kill();
                    p->waitForFinished(2000);
                }
            }
        }
    }

    QTemporaryDir dir;
    QString display;
    QString glIntegration;
    QProcess xvfb;
    QProcess agent;
};

/// Serves one HTML page on loopback, whatever is asked, and counts requests.
class PageServer : public QTcpServer
{
public:
    explicit PageServer(const QByteArray& body)
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this, body] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s, body] {
                    s->readAll();
                    ++requests;
                    s->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: "
                             "close\r\nContent-Length: " +
                             QByteArray::number(body.size()) + "\r\n\r\n" + body);
                    s->disconnectFromHost();
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/page").arg(serverPort()); }
    int requests = 0;
};
