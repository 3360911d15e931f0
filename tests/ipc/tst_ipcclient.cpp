// The start-up client: "NotConnected" without an agent, the reply with one,
// the empty reply from an agent that never answers, and one connection for
// the probe and the registration.
#include "core/clientpool.h"
#include "ipc/ipcclient.h"
#include "ipc/ipcserver.h"
#include "pipetest.h"

#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestIpcClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void noAgentMeansNotConnected_data();
    void noAgentMeansNotConnected();
    void probeThenRegisterOverOneConnection();
    void silentAgentGivesEmptyReply();

private:
    std::unique_ptr<PrivateRuntimeDir> runtime;
    std::unique_ptr<LogCapture> log;
};

void TestIpcClient::init()
{
    runtime = std::make_unique<PrivateRuntimeDir>();
    log = std::make_unique<LogCapture>();
}

void TestIpcClient::cleanup()
{
    clientPool.clear();
    log.reset();
    runtime.reset();
}

void TestIpcClient::noAgentMeansNotConnected_data()
{
    QTest::addColumn<bool>("staleFile");
    QTest::newRow("no socket file") << false;
    QTest::newRow("socket file nobody listens on") << true;
}

void TestIpcClient::noAgentMeansNotConnected()
{
    QFETCH(bool, staleFile);
    if (staleFile) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, QFile::encodeName(runtime->pipe()).constData(),
                 sizeof(addr.sun_path));
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ::close(fd);
    }
    IpcClient client;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.sendCommand(QStringLiteral("Hello")), QStringLiteral("NotConnected"));
    QVERIFY2(clock.elapsed() < 1000, QByteArray::number(clock.elapsed()).constData());
    QVERIFY(!log->contains(QStringLiteral("client: send succ")));
}

void TestIpcClient::probeThenRegisterOverOneConnection()
{
    IpcServer agent;
    agent.start();
    QTRY_VERIFY(log->contains(QStringLiteral("server : ipc server started")));

    IpcClient client;
    QCOMPARE(client.sendCommand(QStringLiteral("Hello")), QStringLiteral("OK"));
    const QString text = QString::fromUtf8("{\"pid\":\"31\",\"uid\":\"ü\"}");
    QCOMPARE(client.sendCommand(QStringLiteral("REGISTER:") + text), QStringLiteral("OK"));
    QCOMPARE(log->count(QStringLiteral("client connected")), 1);
    QString uid;
    QVERIFY(clientPool.withClient(QStringLiteral("31"), [&uid](Client* c) { uid = c->uid; }));
    QCOMPARE(uid, QString::fromUtf8("ü"));

    agent.exit(0);
    QVERIFY(agent.wait(10000));
}

void TestIpcClient::silentAgentGivesEmptyReply()
{
    // Something listens but never accepts or answers.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(runtime->pipe()).constData(), sizeof(addr.sun_path));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    QCOMPARE(::listen(fd, 5), 0);

    IpcClient client;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(client.sendCommand(QStringLiteral("Hello")), QString());
    QVERIFY2(clock.elapsed() < 1600, QByteArray::number(clock.elapsed()).constData());
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestIpcClient)
#include "tst_ipcclient.moc"
