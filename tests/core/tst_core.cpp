// The client pool shared by the agent's threads, and the HTTP GET that brings
// its context back.
#include "core/clientpool.h"
#include "core/httpclient.h"
#include "fakepush.h"
#include "message/message.h"

#include <QtTest>

#include <thread>

static Client* client(const QString& pid, const QString& uid = {})
{
    auto* c = new Client(QStringLiteral(R"({"pid":"%1","uid":"%2"})").arg(pid, uid));
    c->messages.append(new Message()); // the pool deletes it with the client
    return c;
}

class TestCore : public QObject
{
    Q_OBJECT

private slots:
    // A pid has one client: a new one replaces it. A step for a client that has
    // left never runs, though a new client may take its address.
    void pool()
    {
        ClientPool pool;
        QPointer<Client> first = client("1", "a");
        pool.addClient(first);
        pool.addClient(client("2"));
        pool.addClient(client("1", "c"));
        QVERIFY(first.isNull());
        QCOMPARE(pool.getPids(), QStringList({"2", "1"}));
        QCOMPARE(pool.getClient("1")->uid, QStringLiteral("c"));
        QVERIFY(pool.getClient("3") == nullptr);
        pool.removeClient("3");
        pool.removeClient("2");
        QCOMPARE(pool.getPids(), QStringList({"1"}));
        QCOMPARE(pool.getClients().size(), 1);
        const ClientRef ref = pool.snapshot().first();
        bool reached = false;
        QVERIFY(pool.withClient(ref, [&](Client*) { reached = true; }) && reached);
        pool.removeClient("1");
        pool.addClient(client("1"));
        reached = false;
        QVERIFY(!pool.withClient(ref, [&](Client*) { reached = true; }) && !reached);
        QVERIFY(pool.withClient(QStringLiteral("1"), [&](Client*) { reached = true; }) && reached);
    }

    void queuesAreBounded()
    {
        ClientPool pool;
        pool.addClient(client("1")); // with one empty message
        const ClientRef ref = pool.snapshot().first();
        const int quarter = int(limits::maxQueuedTextBytes / 4 / sizeof(QChar)) - 1; // + title
        QList<Message*> queue;
        for (int i = 0; i < 5; ++i) { // the oldest go: the cap holds four
            pool.withClient(ref, [&](Client* c) {
                c->messages.append(new Message());
                c->messages.last()->summary = QString(quarter, QLatin1Char('x'));
                c->messages.last()->title = QString::number(i);
            });
            pool.withClient(ref, [&](Client* c) { queue = c->messages; });
        }
        QCOMPARE(queue.size(), 4);
        QCOMPARE(queue.first()->title, QStringLiteral("1"));
        // What could not be delivered goes back to the front, within the cap.
        auto* back = new Message();
        pool.giveBack(ref, {back});
        pool.withClient(ref, [&](Client* c) { queue = c->messages; });
        QCOMPARE(queue.size(), 5);
        QCOMPARE(queue.first(), back);
        // The host registered again: its queue moves over, within the cap.
        Client* again = client("1");
        again->messages.first()->summary = QString(quarter, QLatin1Char('x'));
        pool.addClient(again);
        pool.withClient(QStringLiteral("1"), [&](Client* c) { queue = c->messages; });
        QCOMPARE(queue.size(), 4);
        QCOMPARE(queue.first()->title, QStringLiteral("2"));
        pool.removeClient("1");
        pool.giveBack(ref, {new Message()}); // deleted with the departed queue
    }

    // Run under the address sanitizer, this finds any use of a deleted client.
    void threadsShareThePool()
    {
        ClientPool pool;
        const auto work = [&pool](int thread) {
            for (int i = 0; i < 2000; ++i) {
                const QString pid = QString::number(i % 7);
                const int step = (i + thread) % 4;
                if (step == 0) {
                    pool.addClient(client(pid));
                } else if (step == 1) {
                    pool.removeClient(pid);
                } else if (step == 2) {
                    for (const ClientRef& ref : pool.snapshot()) {
                        pool.withClient(ref, [](Client* c) { c->messages.append(new Message()); });
                    }
                } else {
                    pool.withClient(
                        pid, [](Client* c) { qDeleteAll(c->messages), c->messages.clear(); });
                }
            }
        };
        std::thread others[] = {std::thread(work, 1), std::thread(work, 2), std::thread(work, 3)};
        work(0);
        for (std::thread& t : others) {
            t.join();
        }
        QVERIFY(pool.count() <= 7);
    }

    void httpAnswersCarryTheirContext()
    {
        FakePush service;
        service.answer = [](const QString& target) { return target.toUtf8().mid(1); };
        HttpClient http(nullptr);
        QSignalSpy done(&http, qOverload<QString, QObject*>(&HttpClient::onComplete));
        QSignalSpy bodyOnly(&http, SIGNAL(onComplete(QString))); // the same emissions
        QObject a, b;
        http.get(service.base() + "/a", &a);
        http.get(service.base() + "/b", &b);
        http.get(service.base() + "/b?x=1");
        QTRY_COMPARE(done.size(), 3);
        QCOMPARE(bodyOnly.size(), 3);
        for (const QList<QVariant>& answer : done) {
            const QString body = answer.at(0).toString();
            QObject* context = answer.at(1).value<QObject*>();
            QCOMPARE(context, body == "push/a" ? &a : body == "push/b" ? &b : nullptr);
        }
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<QString>("url"); // empty: the fake service's
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<int>("most");          // bytes of body at most, -1: an error
        QTest::addColumn<QByteArray>("filler"); // written after the response for ever
        QTest::addColumn<int>("every"); // ms between fillers (0: as fast as read), a 1 s limit
        const QByteArray head = "HTTP/1.1 200 OK\r\nConnection: close\r\n";
        const QByteArray bomb = qCompress(QByteArray(64 << 20, ' ')).mid(4); // a zlib stream
        QTest::newRow("compressed, inflating to 64 MiB") // read as sent, not inflated
            << "" << head + "Content-Encoding: deflate\r\n\r\n" + bomb << bomb.size()
            << QByteArray() << 0;
        const QByteArray big(17 << 20, ' ');
        QTest::newRow("17 MiB") << "" << head + "Content-Length: 17825792\r\n\r\n" + big << -1
                                << QByteArray() << 0;
        QTest::newRow("17 MiB, no length given")
            << "" << head + "Transfer-Encoding: chunked\r\n\r\n1100000\r\n" + big + "\r\n0\r\n\r\n"
            << -1 << QByteArray() << 0;
        QTest::newRow("a local file")
            << "file:///etc/hostname" << QByteArray() << -1 << QByteArray() << 0;
        // Each ends at its line's limit, long before the time limit of the request.
        QTest::newRow("endless status line")
            << "" << QByteArray("HTTP/1.1 200 ") << -1 << QByteArray(4096, 'x') << 0;
        QTest::newRow("endless header section")
            << "" << head << -1 << QByteArray("X-A: b\r\n").repeated(512) << 0;
        QTest::newRow("endless chunk-size line")
            << "" << head + "Transfer-Encoding: chunked\r\n\r\n"
            << -1 << QByteArray(4096, '0') << 0;
        QTest::newRow("chunks, after an interim answer")
            << ""
            << "HTTP/1.1 100 Continue\r\n\r\n" + head +
                   "Transfer-Encoding: chunked\r\n\r\n1;x=y\r\n{\r\n1\r\n}\r\n0\r\nT: 1\r\n\r\n"
            << 2 << QByteArray() << 0;
        QTest::newRow("an error status")
            << "" << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\n{}") << -1
            << QByteArray() << 0;
        // Answers that never end, which only the time limit of the request ends.
        QTest::newRow("silent after the status line")
            << "" << QByteArray("HTTP/1.1 200 OK\r\n") << -1 << QByteArray() << 100;
        QTest::newRow("a byte every 100 ms") << "" << head + "Content-Length: 1000\r\n\r\n"
                                             << -1 << QByteArray("x") << 100;
    }

    void hostileAnswers()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, response);
        QFETCH(int, most);
        QFETCH(QByteArray, filler);
        QFETCH(int, every);
        FakePush service;
        service.answer = [&](const QString&) { return response; };
        service.endless = [&](const QString&) { return !filler.isEmpty() || every > 0; };
        service.filler = filler;
        service.everyMs = every;
        HttpClient http(nullptr, every > 0 ? 1000 : limits::requestTimeoutMs);
        QSignalSpy done(&http, qOverload<QString, QObject*>(&HttpClient::onComplete));
        QSignalSpy failed(&http, &HttpClient::onError);
        http.get(url.isEmpty() ? service.base() : url);
        QTRY_COMPARE_WITH_TIMEOUT(done.size() + failed.size(), 1, 20000);
        QCOMPARE(failed.isEmpty() ? QString() : failed.first().first().toString(),
                 most < 0 ? "error" : "");
        QVERIFY(done.isEmpty() || done.first().first().toString().toUtf8().size() <= most);
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"