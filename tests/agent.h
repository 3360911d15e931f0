// The agent as a real process, its hosts, and peers of its pipe.
#pragma once

#include "ipc/pipepath.h"
#include "zavmsg/zavmsg.h"

#include <QLocalSocket>
#include <QtTest>

#include <csignal>

/// A private 0700 directory, XDG_RUNTIME_DIR while it lives: the pipe's home.
class RuntimeDir
{
public:
    RuntimeDir() : previous(qgetenv("XDG_RUNTIME_DIR"))
    {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    }
    ~RuntimeDir() { qputenv("XDG_RUNTIME_DIR", previous); }
    QString path(const QString& name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};

/// One connection to the pipe, used command by command as a host would:
/// through libzavmsg, which knows when a reply is whole.
class PipePeer
{
public:
    PipePeer() = default;
    PipePeer(const PipePeer&) = delete;
    PipePeer& operator=(const PipePeer&) = delete;
    ~PipePeer() { zavmsg_close(agent); }
    /// Sends one command and reads until the reply is whole (what came of it
    /// otherwise; empty: nothing), each part within ms.
    QByteArray ask(const QByteArray& command, int ms = 5000)
    {
        if (!agent && zavmsg_connect(&agent, nullptr, ms) == ZAVMSG_NO_MEMORY) {
            return {};
        }
        zavmsg_command(agent, command.constData(), size_t(command.size()));
        size_t length = 0;
        const char* reply = zavmsg_reply(agent, &length);
        return QByteArray(reply, int(length));
    }

private:
    zavmsg* agent = nullptr;
};

inline QByteArray ask(const QByteArray& command)
{
    PipePeer peer;
    return peer.ask(command);
}

/// Whether the pipe answers "Hello" within ms.
inline bool answering(int ms = 5000)
{
    return QTest::qWaitFor([] { return ask("Hello") == "OK"; }, ms);
}

/// A stand-in host product: a process that runs until ended.
class Host : public QProcess
{
public:
    Host() { start(QStringLiteral("sleep"), {QStringLiteral("600")}); }
    ~Host() override { end(); }
    QString pid() const { return QString::number(processId()); }
    void end()
    {
        kill();
        waitForFinished();
    }
};

/// The test build of the agent (it checks its hosts every 2 s and polls its own
/// port), with its debug lines in a file of the runtime directory.
class AgentProcess
{
public:
    explicit AgentProcess(const RuntimeDir& dir)
        : logFile(dir.path(QStringLiteral("agent-%1.log").arg(++made)))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setStandardErrorFile(logFile);
    }
    ~AgentProcess()
    {
        process.kill();
        process.waitForFinished();
    }

    /// Starts the agent for a host; args follow the host's options.
    void start(const QString& hostPid, const QStringList& args = {})
    {
        const QStringList host{"-pid", hostPid, "-product", "T", "-mac", "M"};
        process.start(command.first(), command.mid(1) + host + args);
        process.waitForStarted();
    }
    /// Starts the agent and waits until its pipe answers.
    bool startAnswering(const QString& hostPid, const QStringList& args = {})
    {
        start(hostPid, args);
        return answering(10000);
    }
    /// SIGTERM, then the exit code (-2 when it did not end within ms).
    int terminate(int ms = 5000)
    {
        ::kill(pid_t(process.processId()), SIGTERM);
        return process.waitForFinished(ms) ? process.exitCode() : -2;
    }
    /// The process state letter of /proc/PID/stat (R, S, T, Z...).
    char state() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        const QByteArray text = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
        return text.mid(text.lastIndexOf(')') + 2, 1).append('?').at(0);
    }
    /// Resident memory, in kB.
    qint64 rssKb() const
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        const QString text = status.open(QIODevice::ReadOnly) ? status.readAll() : QByteArray();
        return QRegularExpression("VmRSS:\\s*(\\d+)").match(text).captured(1).toLongLong();
    }
    QString log() const
    {
        QFile file(logFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    bool logged(const QString& text, int ms = 10000) const
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, ms);
    }

    QProcess process;
    QStringList command{qEnvironmentVariable("ZAV_TEST_AGENT")}; ///< before the host's options

private:
    static inline int made = 0; ///< agents made so far, each with a log of its own
    QString logFile;
};
