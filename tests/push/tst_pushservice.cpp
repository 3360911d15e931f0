// zav-push as a process: what it answers to bad input, slow and idle peers,
// a kill -9 under load, a store that goes away and comes back, and two
// instances on one PostgreSQL asked for the same machines at once.
#include "pushtest.h"

#include <sqlite3.h>

#include <QtTest>

#include <atomic>
#include <csignal>
#include <deque>
#include <mutex>
#include <set>
#include <sys/resource.h>
#include <thread>

namespace {

const QByteArray campaign = R"({"state":"active","message":{"title":"T"}})";

/// The uuids of an 801 answer's messages.
QStringList uuids(const HttpResult& r)
{
    QStringList out;
    const QJsonArray list = QJsonDocument::fromJson(r.body).object()["data"].toArray();
    for (const QJsonValue& v : list) {
        out << v["uuid"].toString();
    }
    return out;
}

QByteArray query(int machine)
{
    return "mac=M" + QByteArray::number(machine) + "&product=P&version=2&cv=20150910";
}

/// Asks for every machine's messages from threads, recording each (machine,
/// uuid) received; stops when told or after rounds.
void fetchAll(const std::vector<PushProcess*>& services, int machines, int threads,
              std::multiset<QString>* received, std::atomic<bool>* stop, int rounds = 1)
{
    std::mutex mutex;
    std::vector<std::thread> pool;
    pool.reserve(std::size_t(threads));
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int round = 0; round < rounds && !stop->load(); ++round) {
                for (int m = 0; m < machines && !stop->load(); ++m) {
                    PushProcess* service = services[std::size_t(t) % services.size()];
                    const HttpResult r =
                        http(service->port, "GET", "/push/channel/polling/message?" + query(m));
                    std::lock_guard<std::mutex> lock(mutex);
                    for (const QString& u : uuids(r)) {
                        received->insert(QStringLiteral("M%1 %2").arg(m).arg(u));
                    }
                }
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
}

/// One number from the SQLite file.
qint64 sqliteNumber(const QString& path, const char* sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    qint64 value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        value = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

} // namespace

class TestPushService : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Thousands of sockets of our own below.
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    void badInput_data()
    {
        QTest::addColumn<bool>("admin");
        QTest::addColumn<QByteArray>("request"); // whole, or a method and a target
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const QByteArray detect = "GET /push/channel/polling/detect?mac=M&product=P";
        QTest::newRow("headers over 8 kB")
            << false << detect + " HTTP/1.1\r\nX-Pad: " + QByteArray(9000, 'x') + "\r\n\r\n"
            << QByteArray() << 431 << "request line and headers over";
        QTest::newRow("request line over 8 kB")
            << false << detect + QByteArray(9000, 'x') + " HTTP/1.1\r\n\r\n"
            << QByteArray() << 431 << "request line and headers over";
        QTest::newRow("not HTTP") << false << QByteArray("HELLO THERE\r\n\r\n") << QByteArray()
                                  << 400 << "bad request";
        QTest::newRow("invalid UTF-8")
            << false << detect + "%FF" << QByteArray() << 400 << "the query is not valid UTF-8";
        QTest::newRow("POST to the agents' side")
            << false << QByteArray("POST /push/channel/polling/detect") << QByteArray("x") << 405
            << "the agent's side takes GET only";
        QTest::newRow("unknown path")
            << false << QByteArray("GET /push/other") << QByteArray() << 404 << "not found";
        QTest::newRow("agent body over 4 kB")
            << false << QByteArray("GET /push/channel/polling/detect") << QByteArray(5000, 'x')
            << 413 << "body over";
        QTest::newRow("no token") << true << QByteArray("GET /admin/campaigns") << QByteArray()
                                  << 401 << "a valid token is needed";
        QTest::newRow("read token writes") << true << QByteArray("POST /admin/campaigns read")
                                           << campaign << 403 << "this token may only read";
        QTest::newRow("body over 1 MiB") << true << QByteArray("POST /admin/campaigns write")
                                         << QByteArray(1100000, ' ') << 413 << "body over";
        QTest::newRow("campaign not JSON") << true << QByteArray("POST /admin/campaigns write")
                                           << QByteArray("{") << 400 << "not JSON";
        QTest::newRow("campaign of another form")
            << true << QByteArray("POST /admin/campaigns write")
            << QByteArray(R"({"message":{"actions":{}}})") << 400
            << "\"message\".\"actions\" must be";
        QTest::newRow("unknown campaign") << true << QByteArray("GET /admin/campaigns/77 read")
                                          << QByteArray() << 404 << "no campaign 77";
        QTest::newRow("unknown change")
            << true << QByteArray("POST /admin/campaigns/1/delete write") << QByteArray("{}") << 404
            << "no such change";
        QTest::newRow("direct to nobody")
            << true << QByteArray("POST /admin/direct write")
            << QByteArray(R"({"to":"all","message":{}})") << 400 << "give \"to\"";
    }

    // Each refused with its status and a one-line reason; the service goes on
    // answering.
    void badInput()
    {
        QFETCH(bool, admin);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, body);
        QTemporaryDir dir;
        const QString store = "sqlite:" + dir.filePath("p.db");
        QVERIFY(runPush({"migrate", "--db", store}) == 0);
        QByteArray reader;
        runPush({"token", "add", "r", "--db", store}, &reader);
        const QByteArray writer = writeToken(store);
        PushProcess service(store);
        QVERIFY(service.port);
        const quint16 port = admin ? service.adminPort : service.port;
        HttpResult r;
        if (request.contains("\r\n")) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket.waitForConnected());
            socket.write(request);
            QByteArray all;
            while (socket.waitForReadyRead(3000)) {
                all += socket.readAll();
            }
            r.status = all.mid(9, 3).toInt();
            r.body = all.mid(all.indexOf("\r\n\r\n") + 4);
        } else {
            QList<QByteArray> parts = request.split(' ');
            const QByteArray token = parts.value(2) == "read"    ? reader.trimmed()
                                     : parts.value(2) == "write" ? writer
                                                                 : QByteArray();
            r = http(port, parts[0], parts[1], body,
                     token.isEmpty() ? QByteArray() : "Authorization: Bearer " + token + "\r\n");
        }
        QFETCH(QString, reason);
        QTEST(r.status, "status");
        QVERIFY2(QString::fromUtf8(r.body).startsWith(reason), r.body.constData());
        QCOMPARE(r.body.count('\n'), 1);
        QCOMPARE(service.agent("detect", query(1)).status, 200);
    }

    // A peer that never finishes its headers is cut off after the read
    // time-out; thousands of idle ones past the cap are closed at once, the
    // ones within it after the idle time-out; others are answered meanwhile.
    void slowAndIdlePeers()
    {
        QTemporaryDir dir;
        PushProcess service(
            "sqlite:" + dir.filePath("p.db"),
            {"--read-timeout", "1", "--idle-timeout", "2", "--max-connections", "1000"});
        QVERIFY(service.port);
        QTcpSocket slow;
        slow.connectToHost(QHostAddress::LocalHost, service.port);
        QVERIFY(slow.waitForConnected());
        slow.write("GET /push/channel/polling/detect?mac=M&prod");
        QCOMPARE(service.agent("detect", query(1)).status, 200);
        QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState, 4000);

        std::deque<QTcpSocket> idle(3000);
        for (QTcpSocket& s : idle) {
            s.connectToHost(QHostAddress::LocalHost, service.port);
        }
        const auto open = [&idle] {
            return std::count_if(idle.begin(), idle.end(), [](QTcpSocket& s) {
                s.waitForReadyRead(0);
                return s.state() == QAbstractSocket::ConnectedState;
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(open() <= 1000, 5000); // the cap
        QTRY_COMPARE_WITH_TIMEOUT(service.agent("detect", query(1)).status, 200, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(open(), 0L, 10000); // the idle time-out
    }

    // kill -9 while machines fetch: after the restart every delivery record
    // is whole, the counts match the rows, and no machine gets a campaign twice.
    void killedUnderLoad()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("p.db");
        const QString store = "sqlite:" + file;
        QVERIFY(runPush({"migrate", "--db", store}) == 0);
        const QByteArray token = writeToken(store);
        constexpr int machines = 150;
        std::multiset<QString> received;
        {
            PushProcess service(store, {"--threads", "4"});
            QVERIFY(service.port);
            for (int c = 0; c < 3; ++c) {
                QCOMPARE(service.admin("POST", "/admin/campaigns", campaign, token).status, 201);
            }
            for (int m = 0; m < machines; m += 3) {
                service.admin("POST", "/admin/direct",
                              "{\"to\":{\"mac\":\"M" + QByteArray::number(m) +
                                  "\",\"product\":\"P\"},\"message\":{\"uuid\":\"d\"}}",
                              token);
            }
            std::atomic<bool> stop{false};
            std::thread load([&] { fetchAll({&service}, machines, 6, &received, &stop); });
            QTest::qWait(300);
            ::kill(pid_t(service.process.processId()), SIGKILL);
            service.process.waitForFinished();
            stop = true;
            load.join();
        }
        QCOMPARE(sqliteNumber(file, "SELECT COUNT(*) FROM campaigns WHERE state = 'active'"), 3);
        QCOMPARE(sqliteNumber(file, "SELECT COUNT(*) FROM (SELECT machine_id, campaign_id FROM "
                                    "deliveries GROUP BY 1, 2 HAVING COUNT(*) > 1)"),
                 0);
        QCOMPARE(
            sqliteNumber(file, "SELECT COALESCE(SUM(direct_waiting), 0) FROM machines"),
            sqliteNumber(file, "SELECT COUNT(*) FROM direct_messages WHERE delivered IS NULL"));
        const qint64 before = sqliteNumber(file, "SELECT COUNT(*) FROM deliveries");
        QVERIFY(qint64(received.size()) <= before + machines / 3);

        PushProcess again(store);
        QVERIFY(again.port);
        std::atomic<bool> stop{false};
        fetchAll({&again}, machines, 2, &received, &stop);
        for (const QString& pair : received) {
            QVERIFY2(received.count(pair) == 1, qPrintable(pair + " twice"));
        }
        QCOMPARE(sqliteNumber(file, "SELECT COUNT(*) FROM deliveries"), qint64(machines) * 3);
    }

    // PostgreSQL stopped: 503 within a second; started again: served within
    // 5 s, by the same process.
    void storeGoesAndComesBack()
    {
        // Under /tmp itself: the server's user must reach it (a private
        // temporary directory of the test is not theirs).
        const QString pgDir =
            QStringLiteral("/tmp/zav-pg-back-%1").arg(QCoreApplication::applicationPid());
        QCOMPARE(QProcess::execute("bash", {ZAV_PG_SCRIPT, "start", pgDir}), 0);
        const QString store = "postgresql:///postgres?host=" + pgDir + "&user=zavpush";
        {
            PushProcess service(store);
            QVERIFY(service.port);
            QCOMPARE(service.agent("detect", query(1)).status, 200);
            QCOMPARE(QProcess::execute("bash", {ZAV_PG_SCRIPT, "pause", pgDir}), 0);
            QElapsedTimer timer;
            timer.start();
            const HttpResult down = service.agent("detect", query(2));
            QCOMPARE(down.status, 503);
            QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
            QCOMPARE(service.agent("detect", query(2)).status, 503);
            QCOMPARE(QProcess::execute("bash", {ZAV_PG_SCRIPT, "resume", pgDir}), 0);
            timer.restart();
            QTRY_COMPARE_WITH_TIMEOUT(service.agent("detect", query(2)).status, 200, 5000);
        }
        QProcess::execute("bash", {ZAV_PG_SCRIPT, "stop", pgDir});
    }

    // Two instances on one PostgreSQL, each machine asking both at once:
    // every campaign reaches every machine once.
    void twoInstancesOnePostgres()
    {
        const QString store = freshPgDatabase("two_instances");
        QVERIFY(!store.isEmpty());
        QVERIFY(runPush({"migrate", "--db", store}) == 0);
        const QByteArray token = writeToken(store);
        PushProcess a(store), b(store);
        QVERIFY(a.port && b.port);
        for (int c = 0; c < 3; ++c) {
            QCOMPARE(a.admin("POST", "/admin/campaigns", campaign, token).status, 201);
        }
        constexpr int machines = 60;
        std::multiset<QString> received;
        std::atomic<bool> stop{false};
        fetchAll({&a, &b}, machines, 4, &received, &stop, 2);
        QCOMPARE(int(received.size()), machines * 3);
        for (const QString& pair : received) {
            QVERIFY2(received.count(pair) == 1, qPrintable(pair + " twice"));
        }
        const QJsonObject stats =
            QJsonDocument::fromJson(b.admin("GET", "/admin/campaigns/2/stats", {}, token).body)
                .object();
        QCOMPARE(stats["machinesDelivered"].toInt(), machines);
    }
};

QTEST_GUILESS_MAIN(TestPushService)
#include "tst_pushservice.moc"
