// The pipe: its command table, the server thread that serves it, the start-up
// client that probes it, and where its socket lives.
#include "agent.h"
#include "core/clientpool.h"
#include "ipc/ipcclient.h"
#include "ipc/ipcserver.h"
#include "ipc/pipecommand.h"
#include "message/message.h"

#include <QLocalServer>
#include <QtTest>

#include <sys/stat.h>

class TestPipe : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { clientPool.clear(); }

    // Each row runs its exchanges in order against a pool that holds the host 7
    // ("customize") with the messages a and b queued.
    void commands_data()
    {
        QTest::addColumn<QStringList>("exchanges"); // command, then its reply
        const QString error = QStringLiteral("ERROR: can not hanlde command");
        Message a, b;
        a.title = QStringLiteral("a");
        b.title = QStringLiteral("b");
        QTest::newRow("only exact prefixes") << QStringList{
            "Hello",    "OK",         "hello", error,          "Hello ", error,         "Hello\n",
            error,      "HelloHello", error,   " REGISTER:{}", error,    "register:{}", error,
            "REGISTER", error,        "",      error};
        QTest::newRow("count, then drain once")
            << QStringList{"MessageCount:7", "2",  "GetMessage:7",   Message::listToJson({&a, &b}),
                           "GetMessage:7",   "[]", "MessageCount:7", "0"};
        QTest::newRow("unknown pid") << QStringList{"GetMessage:8",    "0", "MessageCount:8", "0",
                                                    "MessageCount: 7", "0", "GetMessage:",    "0"};
        QTest::newRow("register again keeps the queue") // for a host that starts again
            << QStringList{R"(REGISTER:{"pid":"7"})", "OK", "MessageCount:7", "2"};
        QTest::newRow("register anything")
            << QStringList{"REGISTER:not json", "OK", "GetMessage:", "[]", "MessageCount:7", "2"};
        QTest::newRow("popups") << QStringList{R"(PopupMessage:{"title":"T"})", "OK",
                                               "PopupMessage:not json", "OK"};
    }

    void commands()
    {
        QFETCH(QStringList, exchanges);
        ClientPool pool;
        auto* host = new Client(R"({"pid":"7","handle":"customize"})");
        host->messages = {Message::fromJson(R"({"title":"a"})"),
                          Message::fromJson(R"({"title":"b"})")};
        pool.addClient(host);
        for (int i = 0; i + 1 < exchanges.size(); i += 2) {
            const QString& command = exchanges.at(i);
            PipeAnswer answer = answerCommand(command, pool);
            QCOMPARE(takeReplyText(answer), exchanges.at(i + 1));
            QCOMPARE(answer.popup != nullptr, command.startsWith("PopupMessage:"));
            if (answer.popup) {
                QCOMPARE(answer.popup->title, command.contains("\"T\"") ? "T" : "");
            }
            delete answer.popup;
        }
    }

    void serverThread()
    {
        RuntimeDir dir;
        IpcServer server;
        QSignalSpy popups(&server, &IpcServer::onPopup);
        server.start();
        const auto stop = qScopeGuard([&server] { // also when a check fails
            server.exit(0);
            server.wait();
        });
        QVERIFY(answering());
        QCOMPARE(QFile::permissions(pipePath()), QFile::Permissions(0x6600)); // rw- --- ---

        // Peers keep their connections; each gets the replies to its own commands.
        PipePeer peers[3];
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(peers[i].ask(QStringLiteral(R"(REGISTER:{"pid":"%1"})").arg(i).toUtf8()),
                     "OK");
        }
        for (int i = 2; i >= 0; --i) {
            QCOMPARE(peers[i].ask("GetMessage:" + QByteArray::number(i)), "[]");
        }
        // A long list comes in parts, as the same bytes as in one piece.
        QString whole;
        clientPool.withClient(QStringLiteral("1"), [&whole](Client* c) {
            for (int i = 0; i < 1200; ++i) {
                c->messages.append(new Message());
                c->messages.last()->title = QString::number(i);
            }
            whole = Message::listToJson(c->messages);
        });
        QCOMPARE(peers[1].ask("GetMessage:1"), whole.toUtf8());
        QCOMPARE(peers[1].ask("MessageCount:1"), "0");
        QCOMPARE(peers[0].ask("PopupMessage:{}"), "OK");
        QTRY_COMPARE(popups.size(), 1);
        auto* message = popups.first().first().value<Message*>();
        QCOMPARE(message->thread(), QThread::currentThread()); // the receiver's thread
        delete message;
    }

    void startupClient()
    {
        RuntimeDir dir;
        QCOMPARE(IpcClient().sendCommand("Hello"), QStringLiteral("NotConnected"));

        // An agent that accepts but never answers: an empty reply, after the waits.
        QLocalServer silent;
        QVERIFY(silent.listen(pipePath()));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(IpcClient().sendCommand("Hello"), QString());
        QVERIFY(clock.elapsed() < 2500);
    }

    void socketPath_data()
    {
        QTest::addColumn<QByteArray>("runtimeDir");
        QTest::addColumn<int>("privateDirMode"); // -1: no such directory yet
        QTest::addColumn<QString>("expected");   // <dir>: zav-msg-UID in the temporary directory
        QTest::newRow("runtime dir")
            << QByteArray("/run/user/x") << -1 << "/run/user/x/zav_msg_ipc_pipe";
        QTest::newRow("no runtime dir") << QByteArray() << -1 << "<dir>/zav_msg_ipc_pipe";
        QTest::newRow("private dir") << QByteArray() << 0700 << "<dir>/zav_msg_ipc_pipe";
        QTest::newRow("dir open to others") << QByteArray() << 0777 << "";
        QTest::newRow("dir open to group") << QByteArray() << 0770 << "";
    }

    void socketPath()
    {
        QFETCH(QByteArray, runtimeDir);
        QFETCH(int, privateDirMode);
        QFETCH(QString, expected);
        QTemporaryDir temp;
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        qputenv("XDG_RUNTIME_DIR", runtimeDir);
        const QString dir = temp.path() + "/zav-msg-" + QString::number(::getuid());
        if (privateDirMode >= 0) {
            QVERIFY(QDir().mkdir(dir));
            ::chmod(QFile::encodeName(dir).constData(), mode_t(privateDirMode));
        }
        QString why;
        const QString path = pipePath(&why);
        QCOMPARE(path, QString(expected).replace("<dir>", dir));
        QCOMPARE(why.isEmpty(), !path.isEmpty());
        if (!path.isEmpty() && runtimeDir.isEmpty()) {
            QCOMPARE(QFileInfo(dir).permissions() & 0x0077, QFile::Permissions()); // nobody else
        }
    }
};

QTEST_MAIN(TestPipe)
#include "tst_pipe.moc"