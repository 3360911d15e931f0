// libzavmsg as a host uses it: against a fake agent that answers each command
// with the pieces of a row, and against the agent's own pipe thread.
#include "agent.h"
#include "core/clientpool.h"
#include "ipc/ipcserver.h"
#include "message/message.h"
#include "zavmsg/zavmsg.h"

#include <QLocalServer>
#include <QtTest>

/// In a thread of its own, since the library blocks its caller: records each
/// command and answers with the pieces set, written one by one ("close"
/// closes the connection instead, "pause" waits 120 ms).
class FakeAgent : public QThread
{
public:
    explicit FakeAgent(const QString& path) : path(path)
    {
        start();
        listening.acquire();
    }
    ~FakeAgent() override
    {
        quit();
        wait();
    }
    void answer(const QByteArrayList& next)
    {
        QMutexLocker lock(&mutex);
        pieces = next;
        commands.clear();
    }
    QByteArrayList received()
    {
        QMutexLocker lock(&mutex);
        return commands;
    }
    QAtomicInt connections;

private:
    void run() override
    {
        QLocalServer server;
        server.listen(path);
        QObject::connect(&server, &QLocalServer::newConnection, [this, &server] {
            QLocalSocket* socket = server.nextPendingConnection();
            connections.ref();
            QObject::connect(socket, &QLocalSocket::readyRead, [this, socket] { serve(socket); });
        });
        listening.release();
        exec();
    }
    void serve(QLocalSocket* socket)
    {
        QMutexLocker lock(&mutex);
        commands << socket->readAll();
        for (const QByteArray& piece : qAsConst(pieces)) {
            if (piece == "close") {
                socket->disconnectFromServer();
                return;
            }
            if (piece == "pause") {
                QThread::msleep(120);
                continue;
            }
            socket->write(piece);
            socket->waitForBytesWritten(1000);
        }
    }
    QString path;
    QSemaphore listening;
    QMutex mutex;
    QByteArrayList pieces;
    QByteArrayList commands;
};

namespace {

const zavmsg_setting width{"width", "400"};
const zavmsg_action open{"a1", "Open", "http://o/?x=1,2"};

/// The messages of a list, one line each: the texts, then the settings and
/// the actions.
QString describe(const zavmsg_list* list)
{
    QStringList lines;
    for (size_t i = 0; i < list->count; ++i) {
        const zavmsg_message& m = list->messages[i];
        QStringList line{m.uuid, m.form, m.title, m.summary, m.url, m.author};
        for (size_t j = 0; j < m.setting_count; ++j) {
            line << QStringLiteral("%1=%2").arg(m.settings[j].key, m.settings[j].value);
        }
        for (size_t j = 0; j < m.action_count; ++j) {
            line << QStringList{m.actions[j].id, m.actions[j].label, m.actions[j].url}.join('/');
        }
        lines << line.join(',');
    }
    return lines.join('|');
}

/// Runs one call of the library; *result is what it gave, or why it failed.
zavmsg_status call(zavmsg* c, const QString& name, QString* result)
{
    zavmsg_host host{"42", "P", "M", nullptr, nullptr, "Y", nullptr, "b=2&x&a=1&b=3=4"};
    zavmsg_message message{nullptr, "Url", "T", nullptr, "http://u/", "A", &width, 1, &open, 1};
    unsigned long count = 0;
    zavmsg_list* list = nullptr;
    zavmsg_status status = ZAVMSG_INVALID;
    if (name == "hello") {
        status = zavmsg_hello(c);
    } else if (name == "command") {
        status = zavmsg_command(c, "Bogus", 5);
    } else if (name.startsWith("register")) {
        host.mac = name.endsWith("without mac") ? "" : host.mac;
        status = zavmsg_register(c, &host);
    } else if (name.startsWith("popup")) {
        message.title = name.endsWith("not UTF-8") ? "\xff" : message.title;
        status = zavmsg_popup(c, &message);
    } else if (name == "count") {
        status = zavmsg_count(c, "7", &count);
    } else if (name == "get") {
        status = zavmsg_get(c, "7", &list);
    }
    *result = status != ZAVMSG_OK ? zavmsg_error(c)
              : list              ? describe(list)
              : name == "count"   ? QString::number(count)
                                  : zavmsg_reply(c, nullptr);
    zavmsg_list_free(list);
    return status;
}

} // namespace

class TestZavmsg : public QObject
{
    Q_OBJECT

    RuntimeDir dir;
    FakeAgent agent{dir.path("fake")};

private slots:
    void exchanges_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QByteArrayList>("pieces"); // the reply as the agent writes it
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("sent"); // empty: nothing
        QTest::addColumn<QString>("result");  // in the result, or in the failure's reason
        const auto row = [](const char* name, const char* call, const QByteArrayList& pieces,
                            int status, const QByteArray& sent, const char* result) {
            QTest::newRow(name) << call << pieces << status << sent << result;
        };
        row("hello", "hello", {"OK"}, ZAVMSG_OK, "Hello", "OK");
        row("hello, odd reply", "hello", {"Yes"}, ZAVMSG_ODD_REPLY, "Hello", "\"Yes\"");
        row("refused", "command", {"ERROR: can not hanlde command"}, ZAVMSG_REFUSED, "Bogus",
            "refused the command: ERROR: can not hanlde command");
        row("register", "register", {"OK"}, ZAVMSG_OK,
            R"(REGISTER:{"handle":"auto","mac":"M","pid":"42","product":"P",)"
            R"("productVersion":"","properties":"a=1&b=3","purchase":"Y","uid":"","ukey":""})",
            "OK");
        row("register without mac", "register without mac", {"OK"}, ZAVMSG_INVALID, {},
            "needs its pid, product and mac");
        row("popup", "popup", {"OK"}, ZAVMSG_OK,
            R"(PopupMessage:{"actions":[{"action":"Open","id":"a1","url":"http://o/?x=1,2"}],)"
            R"("authorName":"A","messageFrom":"Url","settings":[{"key":"width","value":"400"}],)"
            R"("title":"T","url":"http://u/"})",
            "OK");
        row("popup not UTF-8", "popup not UTF-8", {"OK"}, ZAVMSG_INVALID, {}, "title is not UTF-8");
        row("count", "count", {"12"}, ZAVMSG_OK, "MessageCount:7", "12");
        row("count, odd reply", "count", {"12a"}, ZAVMSG_ODD_REPLY, "MessageCount:7", "12a");
        row("get, unknown host", "get", {"0"}, ZAVMSG_UNKNOWN_HOST, "GetMessage:7", "no host");
        row("get, none queued", "get", {"[]"}, ZAVMSG_OK, "GetMessage:7", "");
        row("get, in pieces", "get",
            {"[{\"title\":\"a]\\\"[\",\"uuid\":\"u\",\"summary\":\"1\\u00002\",",
             R"("settings":[{"key":"w","value":"1"},{}],"actions":[{"id":"i",)",
             R"("action":"l","url":"x"}],"authorName":3},)", R"({"messageForm":"Url"}] )"},
            ZAVMSG_OK, "GetMessage:7", "u,,a]\"[,1,,,w=1,=,i/l/x|,Url,,,,");
        row("list stopped short", "get", {"[{\"title\":\"a]\"},"}, ZAVMSG_NO_REPLY, "GetMessage:7",
            "stopped short after 16 bytes (time is up)");
        row("text after the list", "get", {R"([{"title":"a"}] x)"}, ZAVMSG_NO_REPLY, "GetMessage:7",
            "not a JSON list");
        row("list not JSON", "get", {"[}"}, ZAVMSG_NO_REPLY, "GetMessage:7", "not a JSON list");
        row("list trickling past the time-out", "get",
            {"[", "pause", "{", "pause", "}", "pause", "]", "pause", " "}, ZAVMSG_NO_REPLY,
            "GetMessage:7", "stopped short after 3 bytes (time is up)");
        row("silent", "hello", {}, ZAVMSG_NO_REPLY, "Hello", "did not reply within 300 ms");
        row("closed", "hello", {"close"}, ZAVMSG_NO_REPLY, "Hello",
            "closed the connection without a reply");
    }

    void exchanges()
    {
        QFETCH(QString, call);
        QFETCH(QByteArrayList, pieces);
        QFETCH(int, status);
        QFETCH(QByteArray, sent);
        QFETCH(QString, result);
        agent.answer(pieces);
        zavmsg* c = nullptr;
        QCOMPARE(zavmsg_connect(&c, QFile::encodeName(dir.path("fake")), 300), ZAVMSG_OK);
        QString got;
        QCOMPARE(int(::call(c, call, &got)), status);
        QVERIFY2(got.contains(result), qPrintable(got));
        QCOMPARE(agent.received(), sent.isEmpty() ? QByteArrayList() : QByteArrayList{sent});
        zavmsg_close(c);
    }

    // A connection serves command after command, until a reply fails to come
    // whole: its rest would be taken for the next one.
    void connection()
    {
        zavmsg* c = nullptr;
        QCOMPARE(zavmsg_connect(&c, "/nonexistent/pipe", 300), ZAVMSG_NO_AGENT);
        QCOMPARE(zavmsg_error(c), "no agent is listening on /nonexistent/pipe (no socket there)");
        zavmsg_close(c);
        const int before = agent.connections;
        QCOMPARE(zavmsg_connect(&c, QFile::encodeName(dir.path("fake")), 300), ZAVMSG_OK);
        QString result;
        for (const auto& [pieces, status] : {std::pair{QByteArrayList{"OK"}, ZAVMSG_OK},
                                             {{"OK"}, ZAVMSG_OK},
                                             {{"[", "{"}, ZAVMSG_NO_REPLY},
                                             {{"OK"}, ZAVMSG_OK}}) {
            agent.answer(pieces);
            QCOMPARE(::call(c, "hello", &result), status);
        }
        QCOMPARE(agent.connections - before, 2);
        zavmsg_close(c);
    }

    // What the library writes is what the agent reads, on the pipe the agent
    // listens on.
    void withAgent()
    {
        IpcServer server;
        QSignalSpy popups(&server, &IpcServer::onPopup);
        server.start();
        QVERIFY(server.waitForListening(5000));
        auto* host = new Client(R"({"pid":"7","handle":"customize"})");
        host->messages = {
            Message::fromJson(R"({"title":"a","settings":[{"key":"k","value":"v"}]})"),
            Message::fromJson(R"({"messageFrom":"Url","url":"u","actions":[{}]})")};
        host->messages.first()->uuid = QStringLiteral("1");
        clientPool.addClient(host);

        zavmsg* c = nullptr;
        QCOMPARE(zavmsg_connect(&c, nullptr, 2000), ZAVMSG_OK);
        QString result;
        QCOMPARE(call(c, "register", &result), ZAVMSG_OK);
        QCOMPARE(clientPool.getPids(), QStringList({"7", "42"}));
        QCOMPARE(call(c, "count", &result), ZAVMSG_OK);
        QCOMPARE(result, "2");
        QCOMPARE(call(c, "get", &result), ZAVMSG_OK);
        QCOMPARE(result, "1,,a,,,,k=v|,Url,,,u,,//");
        QCOMPARE(call(c, "popup", &result), ZAVMSG_OK);
        QTRY_COMPARE(popups.size(), 1);
        std::unique_ptr<Message> shown(popups.first().first().value<Message*>());
        QCOMPARE(QStringList({shown->messageForm, shown->title, shown->url, shown->authorName,
                              shown->settings.value("width"), shown->actions.first()->url}),
                 QStringList({"Url", "T", "http://u/", "A", "400", "http://o/?x=1,2"}));
        zavmsg_close(c);
        server.exit(0);
        server.wait();
        clientPool.clear();
    }
};

QTEST_GUILESS_MAIN(TestZavmsg)
#include "tst_zavmsg.moc"
