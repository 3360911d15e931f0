// The real agent's whole life: started by a host, joined by a second one,
// each host's client dropped when its process ends, exit code 0 when the last
// is gone. Waits for the real 120 s checks (about four minutes).
#include "ipc/ipcclient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int checkIntervalMs = 120 * 1000;
constexpr int checkWaitMs = checkIntervalMs + 30 * 1000;

QString removedLine(const QString& pid)
{
    return QStringLiteral("remove process , pid= \"%1\"").arg(pid);
}

} // namespace

class TestAgentLife : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void lastHostEndsAgent();

private:
    /// Runs one command on the agent's pipe, as a host product would.
    static QString ask(const QString& command);
    QProcessEnvironment agentEnvironment() const;
    void startHost(QProcess& host);

    QString agentPath;
    QTemporaryDir runtimeDir;
    QProcess hostA;
    QProcess hostB;
    QProcess agent;
    QString agentLog;
};

void TestAgentLife::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    agentPath = qEnvironmentVariable("ZAV_AGENT");
    if (agentPath.isEmpty()) {
        QSKIP("ZAV_AGENT is not set (run through CTest)");
    }
    QVERIFY(runtimeDir.isValid());
    QVERIFY(QFile::setPermissions(runtimeDir.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // This process speaks to the agent's pipe too: same private runtime dir.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
}

void TestAgentLife::cleanup()
{
    for (QProcess* p : {&agent, &hostA, &hostB}) {
        if (p->state() != QProcess::NotRunning) {
            p->kill();
            p->waitForFinished();
        }
    }
}

QString TestAgentLife::ask(const QString& command)
{
    IpcClient client;
    return client.sendCommand(command);
}

QProcessEnvironment TestAgentLife::agentEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    return env;
}

void TestAgentLife::startHost(QProcess& host)
{
    host.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(host.waitForStarted());
}

void TestAgentLife::lastHostEndsAgent()
{
    startHost(hostA);
    startHost(hostB);
    const QString pidA = QString::number(hostA.processId());
    const QString pidB = QString::number(hostB.processId());
    const auto args = [](const QString& pid) {
        return QStringList{"-pid",  pid,       "-product",  "ZT",   "-mac",
                           "00-11", "-handle", "customize", "-uid", "u1"};
    };

    // The first copy becomes the agent.
    agent.setProcessEnvironment(agentEnvironment());
    connect(&agent, &QProcess::readyReadStandardError, this,
            [this]() { agentLog += QString::fromUtf8(agent.readAllStandardError()); });
    QSignalSpy finished(&agent, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    QElapsedTimer sinceStart;
    sinceStart.start();
    agent.start(agentPath, args(pidA));
    QVERIFY(agent.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(agentLog.contains(QLatin1String("server : ipc server started")),
                             20000);

    // A second copy for host B hands its client over and leaves with 0.
    QProcess second;
    second.setProcessEnvironment(agentEnvironment());
    second.start(agentPath, args(pidB));
    QVERIFY(second.waitForFinished(30000));
    const QString secondLog = QString::fromUtf8(second.readAllStandardError());
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(secondLog.contains(QLatin1String("the instance is about to exit as it already "
                                              "started.")),
             qPrintable(secondLog));
    QVERIFY2(!secondLog.contains(QStringLiteral("注册失败:")), qPrintable(secondLog));

    // "GetMessage:" answers "0" for an unknown pid, a JSON array for a pooled one.
    QCOMPARE(ask(QStringLiteral("GetMessage:") + pidA), QStringLiteral("[]"));
    QCOMPARE(ask(QStringLiteral("GetMessage:") + pidB), QStringLiteral("[]"));

    // Host B ends: the next check drops its client only.
    hostB.kill();
    QVERIFY(hostB.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(agentLog.contains(removedLine(pidB)), checkWaitMs);
    qInfo("host B's client removed %lld s after the agent started", sinceStart.elapsed() / 1000);
    QCOMPARE(agent.state(), QProcess::Running);
    QVERIFY(!agentLog.contains(removedLine(pidA)));
    QCOMPARE(ask(QStringLiteral("GetMessage:") + pidB), QStringLiteral("0"));
    QCOMPARE(ask(QStringLiteral("GetMessage:") + pidA), QStringLiteral("[]"));

    // Host A, the last one, ends: the agent removes it and exits with 0.
    hostA.kill();
    QVERIFY(hostA.waitForFinished());
    QElapsedTimer sinceLastHost;
    sinceLastHost.start();
    QTRY_VERIFY_WITH_TIMEOUT(agentLog.contains(removedLine(pidA)) || finished.count() > 0,
                             checkWaitMs);
    const qint64 untilRemoved = sinceLastHost.elapsed();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 30000);
    const qint64 delay = sinceLastHost.elapsed();
    agentLog += QString::fromUtf8(agent.readAllStandardError());
    qInfo("exit-to-quit delay: %.1f s (last host ended -> agent exited; its removal seen after "
          "%.1f s, shutdown took the rest)",
          delay / 1000.0, untilRemoved / 1000.0);
    QVERIFY2(agentLog.contains(removedLine(pidA)), qPrintable(agentLog.right(2000)));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QVERIFY2(agent.exitCode() == 0, qPrintable(agentLog.right(4000)));
    QVERIFY(delay <= checkIntervalMs + 5000);
}

QTEST_GUILESS_MAIN(TestAgentLife)
#include "tst_agentlife.moc"
