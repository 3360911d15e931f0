// The built agent as a process: start-up checks and a first instance that
// keeps running until it is told to stop.
#include "core/globals.h"
#include "app/logging.h"
#include "process/procstatus.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

class TestAgentProcess : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rejectsMissingMandatoryOption_data();
    void rejectsMissingMandatoryOption();
    void firstInstanceRunsUntilStopped();

private:
    void start(const QStringList& args);

    QString agent;
    std::unique_ptr<QTemporaryDir> runtimeDir;
    std::unique_ptr<QProcess> process;
};

void TestAgentProcess::initTestCase()
{
    installMessagePattern();
    agent = qEnvironmentVariable("ZAV_AGENT");
    QVERIFY2(!agent.isEmpty(), "ZAV_AGENT must name the agent executable");
    QVERIFY2(QFile::exists(agent), qPrintable(agent));
}

void TestAgentProcess::init()
{
    // A private runtime directory, so that no pipe is shared with other tests.
    runtimeDir = std::make_unique<QTemporaryDir>();
    QVERIFY(runtimeDir->isValid());
    QVERIFY(QFile::setPermissions(runtimeDir->path(), QFileDevice::ReadOwner |
                                                          QFileDevice::WriteOwner |
                                                          QFileDevice::ExeOwner));
}

void TestAgentProcess::cleanup()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(10000);
    }
    process.reset();
    runtimeDir.reset();
}

void TestAgentProcess::start(const QStringList& args)
{
    process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir->path());
    env.insert(QStringLiteral("TMPDIR"), runtimeDir->path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setProgram(agent);
    process->setArguments(args);
    process->start();
}

void TestAgentProcess::rejectsMissingMandatoryOption_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("line"); // the start-up check's debug line

    QTest::newRow("no arguments") << QStringList() << R"(pid: "" ,product: "" ,mac: "")";
    QTest::newRow("mac missing") << QStringList{"-pid", "1", "-product", "P"}
                                 << R"(pid: "1" ,product: "P" ,mac: "")";
    QTest::newRow("product missing")
        << QStringList{"-pid", "1", "-mac", "M"} << R"(pid: "1" ,product: "" ,mac: "M")";
    QTest::newRow("pid missing") << QStringList{"-product", "P", "-mac", "M", "-uid", "u"}
                                 << R"(pid: "" ,product: "P" ,mac: "M")";
    QTest::newRow("pid empty") << QStringList{"-pid", "", "-product", "P", "-mac", "M"}
                               << R"(pid: "" ,product: "P" ,mac: "M")";
    QTest::newRow("product empty") << QStringList{"-pid", "1", "-product", "", "-mac", "M"}
                                   << R"(pid: "1" ,product: "" ,mac: "M")";
    QTest::newRow("mac empty") << QStringList{"-pid", "1", "-product", "P", "-mac", ""}
                               << R"(pid: "1" ,product: "P" ,mac: "")";
    QTest::newRow("pid last") << QStringList{"-product", "P", "-mac", "M", "-pid"}
                              << R"(pid: "" ,product: "P" ,mac: "M")";
    // The toolkit takes its own options out first; the vector stays null-terminated.
    QTest::newRow("pid last after toolkit options")
        << QStringList{"-product", "P", "-mac", "M", "-pid", "-platform", "offscreen"}
        << R"(pid: "" ,product: "P" ,mac: "M")";
    QTest::newRow("-PID is not -pid") << QStringList{"-PID", "1", "-product", "P", "-mac", "M"}
                                      << R"(pid: "" ,product: "P" ,mac: "M")";
    QTest::newRow("pid takes the next name") << QStringList{"-pid", "-product", "P", "-mac", "M"}
                                             << R"(pid: "-product" ,product: "" ,mac: "")";
}

void TestAgentProcess::rejectsMissingMandatoryOption()
{
    QFETCH(QStringList, args);
    QFETCH(QString, line);

    start(args);
    QVERIFY2(process->waitForFinished(60000), "agent did not end");
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QVERIFY2(process->exitCode() == 255, qPrintable(log)); // -1
    QVERIFY2(log.contains(line), qPrintable(log));
    QVERIFY2(!log.contains(QLatin1String("Server reply:")), qPrintable(log)); // never probed
}

void TestAgentProcess::firstInstanceRunsUntilStopped()
{
    start({"-pid", QString::number(QCoreApplication::applicationPid()), "-product", "P", "-mac",
           "00-11-22-33-44-55", "-uid", "u"});
    QVERIFY2(process->waitForStarted(30000), qPrintable(process->errorString()));

    QByteArray log;
    const auto collect = [this, &log] {
        log += process->readAllStandardError();
        return log;
    };
    QTRY_VERIFY_WITH_TIMEOUT(collect().contains("message server started successful."), 60000);
    QCOMPARE(process->state(), QProcess::Running);
    const int reply = log.indexOf("Server reply: \"NotConnected\"");
    QVERIFY2(reply >= 0, log.constData());
    QVERIFY(reply < log.indexOf("message server started successful."));

    // Still running once it is fully up (its termination handler is in place).
    QTRY_VERIFY_WITH_TIMEOUT(catchesSigterm(process->processId()), 60000);
    QCOMPARE(process->state(), QProcess::Running);

    process->terminate();
    QVERIFY2(process->waitForFinished(60000), "agent did not stop on SIGTERM");
    collect();
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QVERIFY2(process->exitCode() == 0, log.constData());
}

QTEST_GUILESS_MAIN(TestAgentProcess)
#include "tst_agentprocess.moc"
