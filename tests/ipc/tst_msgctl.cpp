// zav-msgctl against a pipe server in this process: what each command sends,
// what it prints, and its exit status.
#include "core/clientpool.h"
#include "ipc/ipcserver.h"
#include "message/message.h"
#include "pipetest.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

class TestMsgCtl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void popupBuildsTheMessage_data();
    void popupBuildsTheMessage();
    void registerSendsTheClientText();
    void getPrintsAndDrainsTheQueue_data();
    void getPrintsAndDrainsTheQueue();
    void usageErrors_data();
    void usageErrors();

private:
    int run(const QStringList& args);

    std::unique_ptr<PrivateRuntimeDir> runtime;
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<IpcServer> agent;
    QList<Message*> popups;
    QByteArray out;
    QByteArray err;
};

void TestMsgCtl::init()
{
    runtime = std::make_unique<PrivateRuntimeDir>();
    log = std::make_unique<LogCapture>();
    agent = std::make_unique<IpcServer>();
    connect(agent.get(), &IpcServer::onPopup, this, [this](Message* m) { popups.append(m); });
    agent->start();
    QTRY_VERIFY(log->contains(QStringLiteral("server : ipc server started")));
}

void TestMsgCtl::cleanup()
{
    agent->exit(0);
    QVERIFY(agent->wait(10000));
    agent.reset();
    qDeleteAll(popups);
    popups.clear();
    clientPool.clear();
    log.reset();
    runtime.reset();
}

int TestMsgCtl::run(const QStringList& args)
{
    QProcess p;
    p.start(QString::fromLocal8Bit(qgetenv("ZAV_MSGCTL")), args);
    if (!p.waitForFinished(15000)) {
        return -1;
    }
    out = p.readAllStandardOutput();
    err = p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

void TestMsgCtl::popupBuildsTheMessage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("author");
    QTest::addColumn<QString>("settings"); // key=value;...
    QTest::addColumn<QString>("actions");  // id|label|url;...

    QTest::newRow("text") << QStringList{"--title", "T", "--summary", "<b>S</b>"} << ""
                          << "<b>S</b>"
                          << ""
                          << ""
                          << ""
                          << "";
    QTest::newRow("page") << QStringList{"--title", "T", "--page", "http://p/x?a=1"} << "Url"
                          << ""
                          << "http://p/x?a=1"
                          << ""
                          << ""
                          << "";
    QTest::newRow("everything") << QStringList{"--title",   "T",
                                               "--summary", "S",
                                               "--author",  "Zoë",
                                               "--setting", "width=400",
                                               "--setting", "position=right",
                                               "--setting", "width=500",
                                               "--action",  "a1,Open,http://o/?x=1,2",
                                               "--action",  "a2,Later,"}
                                << ""
                                << "S"
                                << ""
                                << "Zoë"
                                << "position=right;width=500"
                                << "a1|Open|http://o/?x=1,2;a2|Later|";
}

void TestMsgCtl::popupBuildsTheMessage()
{
    QFETCH(QStringList, args);
    QFETCH(QString, form);
    QFETCH(QString, summary);
    QFETCH(QString, url);
    QFETCH(QString, author);
    QFETCH(QString, settings);
    QFETCH(QString, actions);

    QCOMPARE(run(QStringList{"popup"} + args), 0);
    QCOMPARE(out, QByteArray("OK\n"));
    QTRY_COMPARE(popups.size(), 1);
    const Message* m = popups.first();
    QCOMPARE(m->title, QStringLiteral("T"));
    QCOMPARE(m->messageForm, form);
    QCOMPARE(m->summary, summary);
    QCOMPARE(m->url, url);
    QCOMPARE(m->authorName, author);
    QStringList gotSettings;
    for (auto it = m->settings.cbegin(); it != m->settings.cend(); ++it) {
        gotSettings << it.key() + QLatin1Char('=') + it.value();
    }
    QCOMPARE(gotSettings.join(QLatin1Char(';')), settings);
    QStringList gotActions;
    for (const MessageAction* a : m->actions) {
        gotActions << a->id + QLatin1Char('|') + a->action + QLatin1Char('|') + a->url;
    }
    QCOMPARE(gotActions.join(QLatin1Char(';')), actions);
}

void TestMsgCtl::registerSendsTheClientText()
{
    QCOMPARE(run({"register", "-pid", "42", "-product", "P", "-mac", "M", "-purchase", "1",
                  "-handle", "customize", "-properties", "b=2&a=1"}),
             0);
    QCOMPARE(out, QByteArray("OK\n"));
    QString json;
    QVERIFY(
        clientPool.withClient(QStringLiteral("42"), [&json](Client* c) { json = c->toJson(); }));
    QCOMPARE(json,
             QStringLiteral("{\"handle\":\"customize\",\"mac\":\"M\",\"pid\":\"42\",\"product\":"
                            "\"P\",\"productVersion\":\"\",\"properties\":\"a=1&b=2\","
                            "\"purchase\":\"Y\",\"uid\":\"\",\"ukey\":\"\"}"));
}

void TestMsgCtl::getPrintsAndDrainsTheQueue_data()
{
    QTest::addColumn<bool>("raw");
    QTest::newRow("pretty") << false;
    QTest::newRow("raw") << true;
}

void TestMsgCtl::getPrintsAndDrainsTheQueue()
{
    QFETCH(bool, raw);
    clientPool.addClient(new Client(QStringLiteral("{\"pid\":\"7\"}")));
    clientPool.withClient(QStringLiteral("7"), [](Client* c) {
        for (int i = 0; i < 300; ++i) { // a reply that arrives in several reads
            auto* m = new Message;
            m->title = QString::number(i) + QString(500, QLatin1Char('t'));
            c->messages.append(m);
        }
    });

    QCOMPARE(run({"count", "7"}), 0);
    QCOMPARE(out, QByteArray("300\n"));
    QCOMPARE(run(raw ? QStringList{"get", "--raw", "7"} : QStringList{"get", "7"}), 0);
    QVERIFY(out.endsWith("]\n"));
    QCOMPARE(out.contains("\n    {"), !raw); // indented, or as sent
    const QJsonArray got = QJsonDocument::fromJson(out).array();
    QCOMPARE(got.size(), 300);
    QVERIFY(got.last().toObject().value(QStringLiteral("title")).toString().startsWith("299t"));
    QCOMPARE(run({"get", "7"}), 0);
    QCOMPARE(out, QByteArray("[]\n"));
    QCOMPARE(run({"get", "8"}), 0);
    QCOMPARE(out, QByteArray("0\n"));
}

void TestMsgCtl::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"bogus"};
    QTest::newRow("count without pid") << QStringList{"count"};
    QTest::newRow("get with bad flag") << QStringList{"get", "--pretty", "1"};
    QTest::newRow("popup without body") << QStringList{"popup", "--title", "T"};
    QTest::newRow("popup without title") << QStringList{"popup", "--summary", "S"};
    QTest::newRow("popup option without value") << QStringList{"popup", "--title"};
    QTest::newRow("popup bad action")
        << QStringList{"popup", "--title", "T", "--summary", "S", "--action", "a1,Open"};
    QTest::newRow("popup bad setting")
        << QStringList{"popup", "--title", "T", "--summary", "S", "--setting", "width"};
    QTest::newRow("bad timeout") << QStringList{"--timeout", "soon", "hello"};
    QTest::newRow("unknown option") << QStringList{"--verbose", "hello"};
}

void TestMsgCtl::usageErrors()
{
    QFETCH(QStringList, args);
    QCOMPARE(run(args), 2);
    QVERIFY(out.isEmpty());
    QVERIFY(err.startsWith("zav-msgctl: "));
    QCOMPARE(err.count('\n'), 1);
    QVERIFY(!log->contains(QStringLiteral("client connected"))); // nothing was sent
}

QTEST_GUILESS_MAIN(TestMsgCtl)
#include "tst_msgctl.moc"
