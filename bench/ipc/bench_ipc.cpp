// Prints the pipe's figures as a Markdown table:
//  1. "Hello" round trip through a running agent over one connection, in turns
//     (blocks of 200) with the same exchange with a raw AF_UNIX echo server in
//     a child process;
//  2. a second copy's hand-over (start, "REGISTER:" answered, exit), next to
//     a bare QApplication start and exit on the same platform plugin;
//  3. "MessageCount:" with 10,000 registered clients and with one.
// Usage: bench_ipc [AGENT] (the agent of this build by default).
#include "core/clientpool.h"
#include "ipc/ipcserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Figures
{
    double median = 0;
    double p99 = 0;
};

Figures figures(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

int connectTo(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof(addr.sun_path));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// One blocking exchange: send the command, read until the reply's length.
bool exchange(int fd, const QByteArray& command, int replyLength)
{
    if (::write(fd, command.constData(), size_t(command.size())) != command.size()) {
        return false;
    }
    char buffer[256];
    int got = 0;
    while (got < replyLength) {
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n <= 0) {
            return false;
        }
        got += int(n);
    }
    return true;
}

/// Microseconds of one exchange.
double timedExchange(int fd, const QByteArray& command, int replyLength)
{
    const auto start = Clock::now();
    if (!exchange(fd, command, replyLength)) {
        qFatal("exchange failed");
    }
    const std::chrono::duration<double, std::micro> took = Clock::now() - start;
    return took.count();
}

/// Microseconds per exchange over one connection, after warmUp exchanges.
std::vector<double> roundTrips(int fd, const QByteArray& command, int replyLength, int count,
                               int warmUp = 100)
{
    std::vector<double> samples;
    samples.reserve(size_t(count));
    for (int i = 0; i < count + warmUp; ++i) {
        const double took = timedExchange(fd, command, replyLength);
        if (i >= warmUp) {
            samples.push_back(took);
        }
    }
    return samples;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly)
               ? QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2)
               : QStringLiteral("unknown");
}

/// A raw AF_UNIX server that answers every read with "OK": the floor. It runs
/// in a child process, as the agent does, so that the scheduler places both
/// the same way (an echo thread in this process lands on this thread's core
/// in some runs and not in others, which moves the floor between 10 and
/// 21 us). The child only makes system calls and leaves with _exit.
class RawEchoServer
{
public:
    explicit RawEchoServer(const QString& path)
    {
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(path).constData(), sizeof(addr.sun_path));
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(listener, 1);
        child = ::fork();
        if (child == 0) {
            const int fd = ::accept(listener, nullptr, nullptr);
            char buffer[256];
            while (::read(fd, buffer, sizeof(buffer)) > 0) {
                if (::write(fd, "OK", 2) != 2) {
                    break;
                }
            }
            ::_exit(0);
        }
        ::close(listener);
    }
    ~RawEchoServer()
    {
        if (child > 0) {
            ::waitpid(child, nullptr, 0);
        }
    }

private:
    pid_t child = -1;
};

/// Milliseconds from start to exit of a program, median of count runs.
double medianRunMs(const QString& program, const QStringList& args, int count)
{
    std::vector<double> samples;
    for (int i = 0; i < count + 2; ++i) {
        QProcess process;
        process.setStandardErrorFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        process.start(program, args);
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            qFatal("%s did not end cleanly", qPrintable(program));
        }
        if (i >= 2) { // warm-up
            samples.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
    }
    return figures(samples).median;
}

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QString pipe = runtime.path() + QStringLiteral("/zav_msg_ipc_pipe");
    // Another build of the agent may be named, to compare two builds.
    const QString agentPath =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(ZAV_AGENT_PATH);
    const QString ownPid = QString::number(QCoreApplication::applicationPid());
    const int exchanges = 10000;

    // 1. "Hello" through the agent and through the raw floor, in turns, so
    // that both meet the same load of the machine.
    const QString loadBefore = loadAverage();
    QProcess agent;
    agent.setStandardErrorFile(QProcess::nullDevice());
    agent.start(agentPath, {"-pid", ownPid, "-product", "P", "-mac", "M"});
    int fd = -1;
    for (int i = 0; i < 300 && fd < 0; ++i) {
        QThread::msleep(20);
        fd = connectTo(pipe);
    }
    if (fd < 0) {
        qFatal("the agent does not listen");
    }
    const QString rawPath = runtime.path() + QStringLiteral("/raw");
    Figures viaAgent;
    Figures raw;
    {
        RawEchoServer echo(rawPath);
        const int rawFd = connectTo(rawPath);
        // Blocks of exchanges, so that each side runs warm, changing sides
        // every few milliseconds.
        const int block = 200;
        std::vector<double> agentSamples;
        std::vector<double> rawSamples;
        for (int done = 0; done < exchanges; done += block) {
            const std::vector<double> a = roundTrips(fd, "Hello", 2, block, 20);
            const std::vector<double> r = roundTrips(rawFd, "Hello", 2, block, 20);
            agentSamples.insert(agentSamples.end(), a.begin(), a.end());
            rawSamples.insert(rawSamples.end(), r.begin(), r.end());
        }
        viaAgent = figures(agentSamples);
        raw = figures(rawSamples);
        ::close(rawFd);
    }
    ::close(fd);

    // 2. A second copy hands its client over and exits; a bare start for comparison.
    const int runs = 20;
    const double handOver =
        medianRunMs(agentPath, {"-pid", "4242", "-product", "P", "-mac", "M"}, runs);
    const double bare = medianRunMs(QStringLiteral(ZAV_BARE_APP_PATH), {}, runs);
    agent.terminate();
    agent.waitForFinished(30000);

    // 3. "MessageCount:" with many clients, through a server in this process;
    // the client asked for is the last one the look-up reaches.
    qInstallMessageHandler(quiet);
    IpcServer server;
    server.start();
    int countFd = -1;
    for (int i = 0; i < 300 && countFd < 0; ++i) {
        QThread::msleep(10);
        countFd = connectTo(pipe);
    }
    clientPool.addClient(new Client(QStringLiteral("{\"pid\":\"1\"}")));
    const Figures oneClient = figures(roundTrips(countFd, "MessageCount:1", 1, exchanges));
    clientPool.clear();
    const int many = 10000;
    for (int i = 1; i <= many; ++i) {
        clientPool.addClient(new Client(QStringLiteral("{\"pid\":\"%1\"}").arg(i)));
    }
    const QByteArray lastPid = QByteArray::number(many);
    const Figures manyClients =
        figures(roundTrips(countFd, "MessageCount:" + lastPid, 1, exchanges));
    ::close(countFd);
    server.exit(0);
    server.wait();
    clientPool.clear();

    const auto us = [](double v) { return QString::number(v, 'f', 1); };
    out << "Load average (1, 5, 15 min): " << loadBefore << " before, " << loadAverage()
        << " after\n\n";
    out << "| Measure | Figure | Reference | Ratio | Target |\n";
    out << "|---|---|---|---|---|\n";
    out << "| \"Hello\" round trip through the agent, median (us) | " << us(viaAgent.median)
        << " | raw AF_UNIX echo " << us(raw.median) << " | " << us(viaAgent.median / raw.median)
        << "x | <= 2x |\n";
    out << "| \"Hello\" round trip through the agent, p99 (us) | " << us(viaAgent.p99)
        << " | raw AF_UNIX echo " << us(raw.p99) << " | " << us(viaAgent.p99 / raw.p99)
        << "x | <= 5x |\n";
    out << "| Second copy start -> \"REGISTER:\" answered -> exit, median of " << runs << " (ms) | "
        << us(handOver) << " | bare QApplication start/exit " << us(bare) << " | "
        << us(handOver / bare) << "x | <= 1.5x |\n";
    out << "| \"MessageCount:\" round trip, " << many << " clients, median (us) | "
        << us(manyClients.median) << " | 1 client " << us(oneClient.median) << " | "
        << us(manyClients.median / oneClient.median) << "x | <= 2x |\n";
    out << "| \"MessageCount:\" round trip, " << many << " clients, p99 (us) | "
        << us(manyClients.p99) << " | 1 client " << us(oneClient.p99) << " | "
        << us(manyClients.p99 / oneClient.p99) << "x | |\n";
    return 0;
}
