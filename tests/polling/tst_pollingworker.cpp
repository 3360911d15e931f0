// The polling worker against an in-process push service: the requests it
// sends, and what every kind of answer does.
#include "fakeservice.h"

#include "core/clientpool.h"
#include "core/globals.h"
#include "app/logging.h"
#include "message/message.h"
#include "core/httpclient.h"
#include "polling/pollingworker.h"

#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(Message*)

namespace {

Client* makeClient(const QString& pid, const QString& handle = QStringLiteral("auto"))
{
    auto* c = new Client(
        QStringLiteral(R"({"pid":"%1","mac":"M%1","product":"P","handle":"%2"})").arg(pid, handle));
    return c;
}

QString query(const QString& target)
{
    return target.mid(target.indexOf(QLatin1Char('?')) + 1);
}

QString path(const QString& target)
{
    return target.left(target.indexOf(QLatin1Char('?')));
}

const QString detect = QStringLiteral("/push/channel/polling/detect");
const QString fetch = QStringLiteral("/push/channel/polling/message");

} // namespace

class TestPollingWorker : public QObject
{
    Q_OBJECT

    QString initialBaseUrl;

private slots:
    void initTestCase()
    {
        installMessagePattern();
        qRegisterMetaType<Message*>();
        initialBaseUrl = baseUrl.get();
    }
    void cleanup()
    {
        clientPool.clear();
        baseUrl.set(initialBaseUrl);
    }

    void buildQuery_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QString>("fingerprint");
        QTest::addColumn<QString>("expected");
        QTest::newRow("every field")
            << R"({"uid":"u1","mac":"00-1A-2B","product":"P","productVersion":"2.0","purchase":"Y","properties":"b=2&a=1"})"
            << ""
            << "userId=u1&mac=00-1A-2B&product=P&version=2.0&purchased=Y&cv=20150910&properties=a:"
               "1,b:2";
        QTest::newRow("fingerprint only") << R"({"uid":"u1","mac":"00-1A-2B","product":"P"})"
                                          << "F1"
                                          << "fingerprint=F1";
        QTest::newRow("nothing but cv") << "{}"
                                        << ""
                                        << "cv=20150910";
        QTest::newRow("properties only") << R"({"properties":"k=v&a=1"})"
                                         << ""
                                         << "cv=20150910&properties=a:1,k:v";
        QTest::newRow("ukey and N") << R"({"ukey":"K","purchase":"N"})"
                                    << ""
                                    << "ukey=K&purchased=N&cv=20150910";
        QTest::newRow("non-ASCII as is") << R"({"uid":"张 三","product":"Ünï"})"
                                         << ""
                                         << "userId=张 三&product=Ünï&cv=20150910";
        QTest::newRow("separators not escaped") << R"({"uid":"a&b=c"})"
                                                << ""
                                                << "userId=a&b=c&cv=20150910";
    }
    void buildQuery()
    {
        QFETCH(QString, json);
        QFETCH(QString, fingerprint);
        QFETCH(QString, expected);
        Client client(json);
        client.fingerprint = fingerprint;
        QCOMPARE(::buildQuery(&client), expected);
    }

    void emptyKeyAndValueProperty()
    {
        Client client(QStringLiteral("{}"));
        client.properties.insert(QString(), QString());
        client.properties.insert(QStringLiteral("z"), QStringLiteral("9"));
        QCOMPARE(::buildQuery(&client), QStringLiteral("cv=20150910&properties=:,z:9"));
    }

    // What reaches the service: the base URL, the path and the query with
    // spaces and non-ASCII characters percent-encoded by the URL layer.
    void requestOnTheWire()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        auto* c =
            new Client(QStringLiteral(R"({"pid":"1","uid":"张 三","mac":"M","product":"P"})"));
        clientPool.addClient(c);
        PollingWorker worker;
        worker.doWork();
        QTRY_COMPARE(service.requests.size(), 1);
        QCOMPARE(service.requests.first(),
                 QStringLiteral("/push/channel/polling/detect?userId=%E5%BC%A0%20%E4%B8%89&mac=M&"
                                "product=P&cv=20150910"));
    }

    void emptyPoolSendsNothing()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        PollingWorker worker;
        worker.doWork();
        clientPool.addClient(makeClient(QStringLiteral("1")));
        worker.doWork(); // the next tick takes a fresh snapshot
        QTRY_COMPARE(service.requests.size(), 1);
        QCOMPARE(query(service.requests.first()), QStringLiteral("mac=M1&product=P&cv=20150910"));
    }

    // One client per tick, a fresh snapshot per pass: a client registered
    // during a pass waits for the next one; one that left is skipped.
    void roundRobin()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        clientPool.addClient(makeClient(QStringLiteral("1")));
        clientPool.addClient(makeClient(QStringLiteral("2")));
        clientPool.addClient(makeClient(QStringLiteral("3")));
        PollingWorker worker;
        QStringList order;
        const auto tick = [&] {
            const int before = service.requests.size();
            worker.doWork();
            QTRY_COMPARE(service.requests.size(), before + 1);
            order << query(service.requests.last()).section(QLatin1Char('&'), 0, 0);
        };
        tick();
        clientPool.addClient(makeClient(QStringLiteral("4"))); // mid-pass
        clientPool.removeClient(QStringLiteral("2"));          // left while queued
        tick();
        tick();
        tick();
        tick();
        QCOMPARE(order, QStringList({"mac=M1", "mac=M3", "mac=M1", "mac=M3", "mac=M4"}));
    }

    void detectAnswer_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("fetches");
        QTest::newRow("0 waiting") << QByteArray(R"({"code":800,"data":0})") << 0;
        QTest::newRow("3 waiting") << QByteArray(R"({"code":800,"data":3})") << 1;
        QTest::newRow("as strings") << QByteArray(R"({"code":"800","data":"2"})") << 1;
        QTest::newRow("negative") << QByteArray(R"({"code":800,"data":-1})") << 0;
        QTest::newRow("data missing") << QByteArray(R"({"code":800})") << 0;
        QTest::newRow("data a word") << QByteArray(R"({"code":800,"data":"many"})") << 0;
        QTest::newRow("data true") << QByteArray(R"({"code":800,"data":true})") << 0;
    }
    void detectAnswer()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, fetches);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(answer);
        service.queue(R"({"code":801,"data":[]})");
        clientPool.addClient(makeClient(QStringLiteral("7"), QStringLiteral("customize")));
        PollingWorker worker;
        worker.doWork();
        if (fetches == 0) {
            // The detect answer is in once its ticket is gone.
            QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0);
            QCOMPARE(service.requests.size(), 1);
        } else {
            QTRY_COMPARE(service.requests.size(), 2);
            QCOMPARE(path(service.requests.at(1)), fetch);
            QCOMPARE(query(service.requests.at(1)), query(service.requests.at(0)));
        }
        QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0);
    }

    void delivery_data()
    {
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QStringList>("emitted");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("log");
        const QByteArray two = R"([{"uuid":"a"},{"uuid":"b"}])";
        QTest::newRow("auto") << "auto" << two << QStringList{"a", "b"} << QStringList{"old"} << "";
        QTest::newRow("customize")
            << "customize" << two << QStringList{} << QStringList{"old", "a", "b"} << "";
        QTest::newRow("other mode") << "manual" << two << QStringList{} << QStringList{"old"}
                                    << "can not handle message with 'manual'";
        QTest::newRow("empty mode, empty list")
            << "" << QByteArray("[]") << QStringList{} << QStringList{"old"}
            << "can not handle message with ''";
        QTest::newRow("auto, empty list")
            << "auto" << QByteArray("[]") << QStringList{} << QStringList{"old"} << "";
        QTest::newRow("case matters") << "Auto" << two << QStringList{} << QStringList{"old"}
                                      << "can not handle message with 'Auto'";
        QTest::newRow("data not a list") << "customize" << QByteArray(R"({"uuid":"x"})")
                                         << QStringList{} << QStringList{"old"} << "";
        QTest::newRow("element not an object")
            << "customize" << QByteArray(R"([7,{"uuid":"b"}])") << QStringList{}
            << QStringList{"old", "", "b"} << "";
    }
    void delivery()
    {
        QFETCH(QString, handle);
        QFETCH(QByteArray, data);
        QFETCH(QStringList, emitted);
        QFETCH(QStringList, queued);
        QFETCH(QString, log);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(R"({"code":801,"data":)" + data + "}");
        Client* c = makeClient(QStringLiteral("1"), handle);
        auto* old = new Message();
        old->uuid = QStringLiteral("old");
        c->messages << old;
        clientPool.addClient(c);

        LogCapture capture;
        PollingWorker worker;
        QSignalSpy spy(&worker, &PollingWorker::onMessage);
        worker.doWork();
        QTRY_VERIFY(capture.mentions(QStringLiteral("receive:")));

        QStringList got;
        for (const QList<QVariant>& args : qAsConst(spy)) {
            auto* m = args.at(0).value<Message*>();
            got << m->uuid;
            delete m; // the receiver owns it
        }
        QCOMPARE(got, emitted);
        QStringList inQueue;
        clientPool.withClient(QStringLiteral("1"), [&](Client* cl) {
            for (Message* m : qAsConst(cl->messages)) {
                inQueue << m->uuid;
            }
        });
        QCOMPARE(inQueue, queued);
        if (!log.isEmpty()) {
            QVERIFY(capture.mentions(log));
        }
    }

    void messageFields_data()
    {
        QTest::addColumn<QByteArray>("element");
        QTest::addColumn<QStringList>("fields"); // uuid form title summary url author
        QTest::addColumn<QString>("settings");   // k=v,...
        QTest::addColumn<QString>("actions");    // id/action/url;...
        QTest::newRow("full")
            << QByteArray(
                   R"({"uuid":"m1","messageForm":"Url","title":"T","summary":"S","url":"U","authorName":"A","settings":{"position":"right"},"actions":[{"id":"a1","action":"Open","url":"U2"}]})")
            << QStringList{"m1", "Url", "T", "S", "U", "A"} << "position=right"
            << "a1/Open/U2";
        QTest::newRow("no uuid") << QByteArray(R"({"title":"T"})")
                                 << QStringList{"", "", "T", "", "", ""} << ""
                                 << "";
        QTest::newRow("numbers, booleans, null, objects")
            << QByteArray(
                   R"({"uuid":5,"messageForm":true,"title":null,"summary":{"a":1},"url":[1],"authorName":2.5})")
            << QStringList{"5", "true", "", "", "", "2.5"} << ""
            << "";
        QTest::newRow("settings typed, sorted")
            << QByteArray(R"({"settings":{"z":1,"a":false,"m":null,"o":{}}})")
            << QStringList{"", "", "", "", "", ""} << "a=false,m=,o=,z=1"
            << "";
        QTest::newRow("settings not an object")
            << QByteArray(R"({"settings":[{"key":"a","value":"b"}]})")
            << QStringList{"", "", "", "", "", ""} << ""
            << "";
        QTest::newRow("actions typed")
            << QByteArray(R"({"actions":[3,{"id":9,"action":"Go"},{"url":"u"}]})")
            << QStringList{"", "", "", "", "", ""} << ""
            << "//;9/Go/;//u";
        QTest::newRow("actions not a list")
            << QByteArray(R"({"actions":{"id":"a"}})") << QStringList{"", "", "", "", "", ""} << ""
            << "";
        QTest::newRow("pipe's form key is not read")
            << QByteArray(R"({"messageFrom":"Url"})") << QStringList{"", "", "", "", "", ""} << ""
            << "";
    }
    void messageFields()
    {
        QFETCH(QByteArray, element);
        QFETCH(QStringList, fields);
        QFETCH(QString, settings);
        QFETCH(QString, actions);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(R"({"code":801,"data":[)" + element + "]}");
        clientPool.addClient(makeClient(QStringLiteral("1")));
        PollingWorker worker;
        QSignalSpy spy(&worker, &PollingWorker::onMessage);
        worker.doWork();
        QTRY_COMPARE(spy.size(), 1);
        QScopedPointer<Message> m(spy.at(0).at(0).value<Message*>());
        QCOMPARE(
            QStringList({m->uuid, m->messageForm, m->title, m->summary, m->url, m->authorName}),
            fields);
        QStringList s;
        for (auto it = m->settings.constBegin(); it != m->settings.constEnd(); ++it) {
            s << it.key() + "=" + it.value();
        }
        QCOMPARE(s.join(","), settings);
        QStringList a;
        for (MessageAction* action : qAsConst(m->actions)) {
            QCOMPARE(action->parent(), m.data());
            a << action->id + "/" + action->action + "/" + action->url;
        }
        QCOMPARE(a.join(";"), actions);
    }

    void fingerprintLifecycle()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(R"({"code":901,"data":"F1"})");
        service.queue(R"({"code":904})");
        clientPool.addClient(makeClient(QStringLiteral("1")));
        PollingWorker worker;
        for (int i = 1; i <= 3; ++i) {
            worker.doWork();
            QTRY_COMPARE(service.requests.size(), i);
            QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0);
        }
        QCOMPARE(query(service.requests.at(0)), QStringLiteral("mac=M1&product=P&cv=20150910"));
        QCOMPARE(query(service.requests.at(1)), QStringLiteral("fingerprint=F1"));
        QCOMPARE(query(service.requests.at(2)), QStringLiteral("mac=M1&product=P&cv=20150910"));
    }

    void serviceWideCodes_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("interval"); // -1: no onChangeInterval
        QTest::addColumn<int>("updates");
        QTest::addColumn<QString>("log");
        QTest::newRow("902 0") << QByteArray(R"({"code":902,"data":0})") << 0 << 0 << "";
        QTest::newRow("902 unclamped")
            << QByteArray(R"({"code":902,"data":99999})") << 99999 << 0 << "";
        QTest::newRow("902 string") << QByteArray(R"({"code":902,"data":"30"})") << 30 << 0 << "";
        QTest::newRow("905") << QByteArray(R"({"code":905})") << -1 << 1 << "";
        QTest::newRow("unknown code") << QByteArray(R"({"code":700,"data":1})") << -1 << 0
                                      << "can not handle message, code=700";
        QTest::newRow("no code") << QByteArray(R"({"data":1})") << -1 << 0
                                 << "can not handle message, code=0";
        QTest::newRow("top-level array")
            << QByteArray(R"([{"code":902}])") << -1 << 0 << "can not handle message, code=0";
    }
    void serviceWideCodes()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, interval);
        QFETCH(int, updates);
        QFETCH(QString, log);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(answer);
        clientPool.addClient(makeClient(QStringLiteral("1")));
        LogCapture capture;
        PollingWorker worker;
        QSignalSpy intervals(&worker, &PollingWorker::onChangeInterval);
        QSignalSpy updateSpy(&worker, &PollingWorker::onUpdateClient);
        worker.doWork();
        QTRY_VERIFY(capture.mentions(QStringLiteral("receive:")));
        QCOMPARE(intervals.size(), interval < 0 ? 0 : 1);
        if (interval >= 0) {
            QCOMPARE(intervals.at(0).at(0).toInt(), interval);
        }
        QCOMPARE(updateSpy.size(), updates);
        if (!log.isEmpty()) {
            QVERIFY(capture.mentions(log));
        }
    }

    // 903 moves every later request to the new base URL.
    void baseUrlSwitch()
    {
        FakeService first;
        FakeService second;
        baseUrl.set(first.baseUrl());
        first.queue(R"({"code":903,"data":")" + second.baseUrl().toUtf8() + R"("})");
        clientPool.addClient(makeClient(QStringLiteral("1")));
        PollingWorker worker;
        worker.doWork();
        QTRY_COMPARE(baseUrl.get(), second.baseUrl());
        worker.doWork();
        QTRY_COMPARE(second.requests.size(), 1);
        QCOMPARE(path(second.requests.first()), detect);
        QCOMPARE(first.requests.size(), 1);
    }

    // Bodies that are not JSON, and failed requests, change nothing and are
    // not logged as received.
    void ignoredAnswers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("html page") << 200 << QByteArray("<html>{\"code\":901}</html>");
        QTest::newRow("empty body") << 200 << QByteArray();
        QTest::newRow("error status") << 500 << QByteArray(R"({"code":901,"data":"F"})");
        QTest::newRow("not found") << 404 << QByteArray(R"({"code":901,"data":"F"})");
    }
    void ignoredAnswers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(body, status);
        clientPool.addClient(makeClient(QStringLiteral("1")));
        LogCapture capture;
        PollingWorker worker;
        worker.doWork();
        QTRY_COMPARE(service.requests.size(), 1);
        QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0);
        QVERIFY(!capture.mentions(QStringLiteral("receive:")));
        clientPool.withClient(QStringLiteral("1"),
                              [](Client* c) { QVERIFY(c->fingerprint.isEmpty()); });
    }

    void refusedConnection()
    {
        quint16 port;
        {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost, 0);
            port = probe.serverPort();
        }
        baseUrl.set(QStringLiteral("http://127.0.0.1:%1/push").arg(port));
        clientPool.addClient(makeClient(QStringLiteral("1")));
        PollingWorker worker;
        worker.doWork();
        QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0); // the ticket goes with it
    }

    // A client that leaves the pool while its request is in flight is never
    // touched: the answer is dropped, and a new client with the same pid is
    // not mistaken for it.
    void departedWhileInFlight_data()
    {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<QByteArray>("answer");
        for (bool replace : {false, true}) {
            const char* how = replace ? "replaced" : "removed";
            QTest::addRow("%s, 800", how) << replace << QByteArray(R"({"code":800,"data":1})");
            QTest::addRow("%s, 801", how)
                << replace << QByteArray(R"({"code":801,"data":[{"uuid":"x"}]})");
            QTest::addRow("%s, 901", how) << replace << QByteArray(R"({"code":901,"data":"F"})");
            QTest::addRow("%s, 904", how) << replace << QByteArray(R"({"code":904})");
        }
    }
    void departedWhileInFlight()
    {
        QFETCH(bool, replace);
        QFETCH(QByteArray, answer);
        FakeService service;
        baseUrl.set(service.baseUrl());
        FakeAnswer hold;
        hold.hold = true;
        service.responder = [&](const QString&) { return hold; };
        clientPool.addClient(makeClient(QStringLiteral("1"), QStringLiteral("customize")));
        PollingWorker worker;
        QSignalSpy spy(&worker, &PollingWorker::onMessage);
        worker.doWork();
        QTRY_COMPARE(service.held.size(), 1);

        if (replace) {
            Client* fresh = makeClient(QStringLiteral("1"), QStringLiteral("customize"));
            fresh->fingerprint = QStringLiteral("keep");
            clientPool.addClient(fresh);
        } else {
            clientPool.removeClient(QStringLiteral("1"));
        }
        LogCapture capture;
        service.release(answer);
        QTRY_VERIFY(capture.mentions(QStringLiteral("client left the pool, answer dropped")));
        QTRY_COMPARE(worker.findChildren<PollTicket*>().size(), 0);
        QCOMPARE(service.requests.size(), 1); // no fetch
        QCOMPARE(spy.size(), 0);
        if (replace) {
            clientPool.withClient(QStringLiteral("1"), [](Client* c) {
                QCOMPARE(c->fingerprint, QStringLiteral("keep"));
                QVERIFY(c->messages.isEmpty());
            });
        }
    }

    // Deleting the worker abandons its requests and their tickets.
    void deletedWithRequestInFlight()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.fallback.hold = true;
        clientPool.addClient(makeClient(QStringLiteral("1")));
        auto* worker = new PollingWorker();
        QPointer<PollTicket> ticket;
        worker->doWork();
        QTRY_COMPARE(service.held.size(), 1);
        ticket = worker->findChild<PollTicket*>();
        QVERIFY(ticket);
        delete worker;
        QVERIFY(ticket.isNull());
        QTRY_VERIFY(service.held.first().isNull()); // the connection was dropped
    }
};

QTEST_MAIN(TestPollingWorker)
#include "tst_pollingworker.moc"
