// The pipe server in this process: the command table with its exact replies,
// the queue commands against the pool, several peers, and how it takes the
// socket file (owner-only, stale file, live agent, unsafe directory).
#include "core/clientpool.h"
#include "ipc/ipcserver.h"
#include "message/message.h"
#include "pipetest.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocalServer>
#include <QtTest>

#include <atomic>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

/// Queues messages for the pooled client pid, as the poller does.
void queueMessages(const QString& pid, const QList<Message*>& messages)
{
    const bool pooled = clientPool.withClient(
        pid, [&messages](Client* client) { client->messages.append(messages); });
    QVERIFY(pooled);
}

Message* newMessage(const QString& title, std::atomic<int>* deleted = nullptr)
{
    auto* message = new Message;
    message->title = title;
    if (deleted) {
        QObject::connect(message, &QObject::destroyed, [deleted]() { ++*deleted; });
    }
    return message;
}

void poolClient(const QString& pid)
{
    clientPool.addClient(
        new Client(QStringLiteral("{\"handle\":\"customize\",\"pid\":\"%1\"}").arg(pid)));
}

/// Leaves a socket file at path with nobody listening, as a killed agent does.
void leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(fd >= 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(addr.sun_path, name.constData(), sizeof(addr.sun_path));
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    QCOMPARE(::listen(fd, 1), 0);
    ::close(fd);
    QVERIFY(QFile::exists(path));
}

} // namespace

class TestIpcServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void commandTable_data();
    void commandTable();
    void registerPoolsTheClientText();
    void registerReplacesSamePidAndFreesItsQueue();
    void getMessageDrainsTheQueueInOrder();
    void queueCommandsNeverRaceTheAppender();
    void queueCommandsNeverTouchDepartedClients();
    void popupMessageReachesTheMainThread_data();
    void popupMessageReachesTheMainThread();
    void popupWithoutReceiverIsFreed();
    void severalPeersGetTheirOwnReplies();
    void twoCommandsOverOneConnection();
    void peerThatNeverReadsIsHeldBack();

    void socketIsOwnerOnly();
    void staleSocketIsReplaced();
    void liveAgentKeepsItsSocket();
    void unsafeFallbackDirectoryMeansNoPipe();

private:
    void startServer();
    QByteArray send(const QByteArray& command);

    std::unique_ptr<PrivateRuntimeDir> runtime;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<IpcServer> agent;
    QList<Message*> popups;
};

void TestIpcServer::init()
{
    runtime = std::make_unique<PrivateRuntimeDir>();
    log = std::make_unique<LogCapture>();
}

void TestIpcServer::cleanup()
{
    if (agent) {
        agent->exit(0);
        QVERIFY(agent->wait(10000));
        agent.reset();
    }
    qDeleteAll(popups);
    popups.clear();
    clientPool.clear();
    log.reset();
    runtime.reset();
}

void TestIpcServer::startServer()
{
    agent = std::make_unique<IpcServer>();
    connect(agent.get(), &IpcServer::onPopup, this, [this](Message* m) { popups.append(m); });
    agent->start();
    QTRY_VERIFY(log->contains(QStringLiteral("server : ipc server started")) ||
                log->contains(QStringLiteral("server : ipc server failed")));
}

QByteArray TestIpcServer::send(const QByteArray& command)
{
    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    if (!peer.waitForConnected(5000)) {
        return QByteArrayLiteral("<not connected>");
    }
    return exchange(peer, command);
}

void TestIpcServer::commandTable_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("reply");

    // Client "1" is pooled with two queued messages, client "2" with none.
    QTest::newRow("hello") << QByteArray("Hello") << QByteArray("OK");
    QTest::newRow("hello lower case") << QByteArray("hello") << errorReply;
    QTest::newRow("hello upper case") << QByteArray("HELLO") << errorReply;
    QTest::newRow("hello trailing blank") << QByteArray("Hello ") << errorReply;
    QTest::newRow("hello leading blank") << QByteArray(" Hello") << errorReply;
    QTest::newRow("hello line break") << QByteArray("Hello\n") << errorReply;
    QTest::newRow("hello crlf") << QByteArray("Hello\r\n") << errorReply;
    QTest::newRow("two hellos in one read") << QByteArray("HelloHello") << errorReply;
    QTest::newRow("hello then nul") << QByteArray("Hello\0", 6) << errorReply;
    QTest::newRow("nul then hello") << QByteArray("\0Hello", 6) << errorReply;
    QTest::newRow("invalid utf-8") << QByteArray("\xff\xfe\xc3") << errorReply;
    QTest::newRow("hello in utf-16") << QByteArray("H\0e\0l\0l\0o\0", 10) << errorReply;
    QTest::newRow("register empty") << QByteArray("REGISTER:") << QByteArray("OK");
    QTest::newRow("register not json") << QByteArray("REGISTER:not json") << QByteArray("OK");
    QTest::newRow("register lower case") << QByteArray("register:{}") << errorReply;
    QTest::newRow("register leading blank") << QByteArray(" REGISTER:{}") << errorReply;
    QTest::newRow("popup not json") << QByteArray("PopupMessage:xyz") << QByteArray("OK");
    QTest::newRow("popup empty") << QByteArray("PopupMessage:") << QByteArray("OK");
    QTest::newRow("popup lower case") << QByteArray("popupmessage:{}") << errorReply;
    QTest::newRow("count queued") << QByteArray("MessageCount:1") << QByteArray("2");
    QTest::newRow("count empty queue") << QByteArray("MessageCount:2") << QByteArray("0");
    QTest::newRow("count unknown pid") << QByteArray("MessageCount:3") << QByteArray("0");
    QTest::newRow("count pid with blank") << QByteArray("MessageCount: 1") << QByteArray("0");
    QTest::newRow("count pid with zero") << QByteArray("MessageCount:01") << QByteArray("0");
    QTest::newRow("count pid with newline") << QByteArray("MessageCount:1\n") << QByteArray("0");
    QTest::newRow("count upper case") << QByteArray("MESSAGECOUNT:1") << errorReply;
    QTest::newRow("get empty queue") << QByteArray("GetMessage:2") << QByteArray("[]");
    QTest::newRow("get unknown pid") << QByteArray("GetMessage:3") << QByteArray("0");
    QTest::newRow("get no pid") << QByteArray("GetMessage:") << QByteArray("0");
    QTest::newRow("get lower case") << QByteArray("getmessage:1") << errorReply;
    QTest::newRow("count then get in one read")
        << QByteArray("MessageCount:1GetMessage:1") << QByteArray("0");
}

void TestIpcServer::commandTable()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, reply);
    poolClient(QStringLiteral("1"));
    poolClient(QStringLiteral("2"));
    queueMessages(QStringLiteral("1"),
                  {newMessage(QStringLiteral("a")), newMessage(QStringLiteral("b"))});
    startServer();

    QCOMPARE(send(command), reply);
    QCOMPARE(send("Hello"), QByteArray("OK")); // still serving
}

void TestIpcServer::registerPoolsTheClientText()
{
    startServer();
    const QByteArray text =
        QString::fromUtf8(
            "{\"handle\":\"customize\",\"mac\":\"M\",\"pid\":\"42\",\"product\":\"P\","
            "\"productVersion\":\"1.0\",\"properties\":\"a=1&b=2\",\"purchase\":\"Y\","
            "\"uid\":\"用户\",\"ukey\":\"k\"}")
            .toUtf8();
    QCOMPARE(send("REGISTER:" + text), QByteArray("OK"));

    QString json;
    QVERIFY(
        clientPool.withClient(QStringLiteral("42"), [&json](Client* c) { json = c->toJson(); }));
    QCOMPARE(json.toUtf8(), text);
}

void TestIpcServer::registerReplacesSamePidAndFreesItsQueue()
{
    poolClient(QStringLiteral("5"));
    std::atomic<int> deleted{0};
    queueMessages(QStringLiteral("5"), {newMessage(QStringLiteral("old"), &deleted)});
    startServer();

    QCOMPARE(send("REGISTER:{\"pid\":\"5\",\"product\":\"new\"}"), QByteArray("OK"));
    QCOMPARE(deleted.load(), 1);
    QCOMPARE(clientPool.count(), 1);
    QString product;
    clientPool.withClient(QStringLiteral("5"), [&product](Client* c) { product = c->product; });
    QCOMPARE(product, QStringLiteral("new"));
    QCOMPARE(send("MessageCount:5"), QByteArray("0"));
}

void TestIpcServer::getMessageDrainsTheQueueInOrder()
{
    poolClient(QStringLiteral("1"));
    std::atomic<int> deleted{0};
    Message* first = newMessage(QStringLiteral("one"), &deleted);
    first->uuid = QStringLiteral("u1");
    first->settings.insert(QStringLiteral("width"), QStringLiteral("300"));
    first->settings.insert(QStringLiteral("position"), QStringLiteral("right"));
    auto* action = new MessageAction(first);
    action->id = QStringLiteral("a1");
    action->action = QStringLiteral("Open");
    action->url = QStringLiteral("http://x/");
    first->actions.append(action);
    Message* second = newMessage(QString::fromUtf8("二"), &deleted);
    second->uuid = QStringLiteral("u2");
    queueMessages(QStringLiteral("1"), {first, second});
    startServer();

    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    QVERIFY(peer.waitForConnected(5000));
    QCOMPARE(exchange(peer, "MessageCount:1"), QByteArray("2"));
    QCOMPARE(
        exchange(peer, "GetMessage:1"),
        QByteArray("[{\"actions\":[{\"action\":\"Open\",\"id\":\"a1\",\"url\":\"http://x/\"}],"
                   "\"authorName\":\"\",\"messageForm\":\"\",\"settings\":[{\"key\":"
                   "\"position\",\"value\":\"right\"},{\"key\":\"width\",\"value\":\"300\"}],"
                   "\"summary\":\"\",\"title\":\"one\",\"url\":\"\",\"uuid\":\"u1\"},"
                   "{\"actions\":[],\"authorName\":\"\",\"messageForm\":\"\",\"settings\":[],"
                   "\"summary\":\"\",\"title\":\"\xe4\xba\x8c\",\"url\":\"\",\"uuid\":\"u2\"}]"));
    QCOMPARE(deleted.load(), 2);
    QCOMPARE(exchange(peer, "MessageCount:1"), QByteArray("0"));
    QCOMPARE(exchange(peer, "GetMessage:1"), QByteArray("[]"));
}

void TestIpcServer::queueCommandsNeverRaceTheAppender()
{
    // A poller thread appends while the pipe counts and drains: every message
    // comes out exactly once and none is lost or freed twice.
    poolClient(QStringLiteral("1"));
    startServer();
    const int total = 2000;
    std::thread poller([]() {
        for (int i = 0; i < total; ++i) {
            queueMessages(QStringLiteral("1"), {newMessage(QString::number(i))});
        }
    });

    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    QVERIFY(peer.waitForConnected(5000));
    QVector<int> seen(total, 0);
    int received = 0;
    QElapsedTimer clock;
    clock.start();
    while (received < total && clock.elapsed() < 60000) {
        const QByteArray count = exchange(peer, "MessageCount:1");
        bool isNumber = false;
        count.toInt(&isNumber);
        QVERIFY2(isNumber, count.constData());
        const QJsonArray drained = QJsonDocument::fromJson(exchange(peer, "GetMessage:1")).array();
        for (const QJsonValue& m : drained) {
            ++seen[m.toObject().value(QStringLiteral("title")).toString().toInt()];
            ++received;
        }
    }
    poller.join();
    QCOMPARE(received, total);
    QCOMPARE(seen.count(1), total);
}

void TestIpcServer::queueCommandsNeverTouchDepartedClients()
{
    // Clients come and go (process watch, re-registration) while the pipe
    // looks them up; under the sanitizers a stale pointer would show.
    startServer();
    std::atomic<bool> stop{false};
    std::thread churn([&stop]() {
        while (!stop) {
            poolClient(QStringLiteral("9"));
            queueMessages(QStringLiteral("9"), {newMessage(QStringLiteral("x"))});
            clientPool.removeClient(QStringLiteral("9"));
        }
    });
    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    QVERIFY(peer.waitForConnected(5000));
    const QSet<QByteArray> countReplies{"0", "1"};
    const QSet<QByteArray> getReplies{"0", "[]"};
    for (int i = 0; i < 300; ++i) {
        const QByteArray count = exchange(peer, "MessageCount:9");
        QVERIFY2(countReplies.contains(count), count.constData());
        const QByteArray got = exchange(peer, "GetMessage:9");
        QVERIFY2(getReplies.contains(got) || got.startsWith("[{\"actions\""), got.constData());
    }
    stop = true;
    churn.join();
}

void TestIpcServer::popupMessageReachesTheMainThread_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("actions");

    QTest::newRow("text with action")
        << QByteArray("{\"title\":\"T\",\"summary\":\"S\",\"actions\":[{\"id\":\"1\",\"action\":"
                      "\"Go\",\"url\":\"http://x\"}]}")
        << QString() << QStringLiteral("T") << QString() << 1;
    QTest::newRow("page") << QByteArray(
                                 "{\"messageFrom\":\"Url\",\"title\":\"P\",\"url\":\"http://p\"}")
                          << QStringLiteral("Url") << QStringLiteral("P")
                          << QStringLiteral("http://p") << 0;
    QTest::newRow("utf-8 title") << QByteArray("{\"title\":\"\xe6\xb6\x88\xe6\x81\xaf\"}")
                                 << QString() << QString::fromUtf8("消息") << QString() << 0;
    QTest::newRow("not json") << QByteArray("{{{") << QString() << QString() << QString() << 0;
}

void TestIpcServer::popupMessageReachesTheMainThread()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, form);
    QFETCH(QString, title);
    QFETCH(QString, url);
    QFETCH(int, actions);
    startServer();

    QCOMPARE(send("PopupMessage:" + json), QByteArray("OK"));
    QTRY_COMPARE(popups.size(), 1);
    const Message* m = popups.first();
    QCOMPARE(m->thread(), QThread::currentThread());
    QCOMPARE(m->messageForm, form);
    QCOMPARE(m->title, title);
    QCOMPARE(m->url, url);
    QCOMPARE(m->actions.size(), actions);
}

void TestIpcServer::popupWithoutReceiverIsFreed()
{
    // Nobody would own the message: it must not be left behind (the leak
    // checker of the sanitizer build watches this one).
    agent = std::make_unique<IpcServer>();
    agent->start();
    QTRY_VERIFY(log->contains(QStringLiteral("server : ipc server started")));
    QCOMPARE(send("PopupMessage:{\"title\":\"T\",\"actions\":[{\"id\":\"1\"}]}"), QByteArray("OK"));
}

void TestIpcServer::severalPeersGetTheirOwnReplies()
{
    const int peers = 20;
    for (int i = 0; i < peers; ++i) {
        poolClient(QString::number(100 + i));
        QList<Message*> queue;
        for (int k = 0; k < i; ++k) {
            queue.append(newMessage(QString::number(k)));
        }
        queueMessages(QString::number(100 + i), queue);
    }
    startServer();

    std::vector<std::unique_ptr<QLocalSocket>> sockets;
    for (int i = 0; i < peers; ++i) {
        sockets.push_back(std::make_unique<QLocalSocket>());
        sockets.back()->connectToServer(runtime->pipe());
        QVERIFY(sockets.back()->waitForConnected(5000));
    }
    // Every peer sends before any reads.
    for (int i = 0; i < peers; ++i) {
        sockets[i]->write("MessageCount:" + QByteArray::number(100 + i));
        sockets[i]->flush();
    }
    for (int i = 0; i < peers; ++i) {
        QTRY_VERIFY(sockets[i]->bytesAvailable() > 0 || sockets[i]->waitForReadyRead(10));
        QCOMPARE(sockets[i]->readAll(), QByteArray::number(i));
    }
}

void TestIpcServer::twoCommandsOverOneConnection()
{
    startServer();
    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    QVERIFY(peer.waitForConnected(5000));
    QCOMPARE(exchange(peer, "Hello"), QByteArray("OK"));
    QCOMPARE(exchange(peer, "REGISTER:{\"pid\":\"77\"}"), QByteArray("OK"));
    QCOMPARE(exchange(peer, "GetMessage:77"), QByteArray("[]"));
    QCOMPARE(log->count(QStringLiteral("client connected")), 1);
}

void TestIpcServer::peerThatNeverReadsIsHeldBack()
{
    // A peer sends "GetMessage:" for a client whose queue is always refilled
    // but never reads the replies. Once a bounded amount of replies waits for
    // it, the agent must stop reading it (its bytes stay in the kernel)
    // instead of piling up replies, and keep serving others.
    poolClient(QStringLiteral("1"));
    startServer();
    std::atomic<bool> stop{false};
    std::thread poller([&stop]() {
        while (!stop) {
            clientPool.withClient(QStringLiteral("1"), [](Client* client) {
                if (client->messages.size() < 4) {
                    client->messages.append(newMessage(QString(4096, QLatin1Char('x'))));
                }
            });
            std::this_thread::yield();
        }
    });

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    QVERIFY(fd >= 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    qstrncpy(addr.sun_path, QFile::encodeName(runtime->pipe()).constData(), sizeof(addr.sun_path));
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

    // Bytes this peer sent that the agent has not taken yet.
    const auto unread = [fd]() {
        int queued = 0;
        return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
    };
    const QByteArray command = "GetMessage:1";
    bool heldBack = false;
    qint64 sent = 0;
    while (!heldBack && sent < 64 * 1024 * 1024) {
        if (::write(fd, command.constData(), size_t(command.size())) < 0) {
            heldBack = errno == EAGAIN;
            break;
        }
        sent += command.size();
        QElapsedTimer clock; // one command per read on the agent's side
        clock.start();
        while (unread() > 0 && clock.elapsed() < 1000) {
            QThread::usleep(50);
        }
        heldBack = unread() > 0;
    }
    QVERIFY(heldBack);
    QVERIFY2(sent < 8 * 1024 * 1024, QByteArray::number(sent).constData());
    QTest::qWait(300);
    QVERIFY(unread() > 0); // still not read
    QCOMPARE(send("Hello"), QByteArray("OK"));

    stop = true;
    poller.join();
    ::close(fd);
    QCOMPARE(send("Hello"), QByteArray("OK"));
}

void TestIpcServer::socketIsOwnerOnly()
{
    const mode_t oldMask = ::umask(0); // the socket would be 0777 without the agent's care
    startServer();
    ::umask(oldMask);
    struct stat st
    {
    };
    QCOMPARE(::stat(QFile::encodeName(runtime->pipe()).constData(), &st), 0);
    QVERIFY(S_ISSOCK(st.st_mode));
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(send("Hello"), QByteArray("OK"));
}

void TestIpcServer::staleSocketIsReplaced()
{
    leaveStaleSocket(runtime->pipe());
    startServer();
    QVERIFY(log->contains(QStringLiteral("server : remove pipe line : ") + runtime->pipe()));
    QVERIFY(log->contains(QStringLiteral("server : ipc server started")));
    QCOMPARE(send("Hello"), QByteArray("OK"));
}

void TestIpcServer::liveAgentKeepsItsSocket()
{
    QLocalServer other; // the agent that already runs
    QVERIFY(other.listen(runtime->pipe()));
    startServer();
    QVERIFY(log->contains(QStringLiteral("server : ipc server failed")));
    QVERIFY(!log->contains(QStringLiteral("server : remove pipe line : ") + runtime->pipe()));

    QSignalSpy accepted(&other, &QLocalServer::newConnection);
    QLocalSocket peer;
    peer.connectToServer(runtime->pipe());
    QVERIFY(peer.waitForConnected(5000));
    QTRY_VERIFY(accepted.count() >= 1);
}

void TestIpcServer::unsafeFallbackDirectoryMeansNoPipe()
{
    QTemporaryDir temp;
    const QByteArray oldTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    const QString dir = temp.path() + QStringLiteral("/zav-msg-") + QString::number(::getuid());
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(::chmod(QFile::encodeName(dir).constData(), 0777) == 0);

    startServer();
    qputenv("TMPDIR", oldTmp);
    QVERIFY(log->contains(QStringLiteral("server : ipc server failed")));
    QVERIFY(!QFile::exists(dir + QStringLiteral("/zav_msg_ipc_pipe")));
}

QTEST_GUILESS_MAIN(TestIpcServer)
#include "tst_ipcserver.moc"
