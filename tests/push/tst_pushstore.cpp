// The push service's decisions, on both stores: the same table runs against
// a SQLite file and the test PostgreSQL server. Also the pieces they rest on:
// the query reader, version order, audiences and campaign files.
#include "core/campaign.h"
#include "core/query.h"
#include "pushtest.h"
#include "store/schema.h"
#include "store/store.h"

#include <QtTest>

#include <atomic>
#include <thread>

using namespace zp;

namespace {

const int64_t now = 1'800'000'000;

/// A detect or message query as the agent builds it.
AgentQuery machine(const std::string& mac, const std::string& version = "2.1",
                   const std::string& product = "P")
{
    AgentQuery q;
    q.mac = mac;
    q.product = product;
    q.version = version;
    return q;
}

QByteArray body(const Answer& a)
{
    return QByteArray::fromStdString(a.body).trimmed();
}

int code(const Answer& a)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(a.body)).object()["code"].toInt();
}

QJsonValue data(const Answer& a)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(a.body)).object()["data"];
}

QJsonObject json(const Answer& a)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(a.body)).object();
}

/// Whether the store's detect view (not the store) answered the machine's
/// detect with this body.
bool fromView(PushStore& store, const AgentQuery& q, const QByteArray& expected)
{
    const uint64_t before = store.view()->answered();
    return body(store.detect(q, now)) == expected && store.view()->answered() > before;
}

AgentQuery byPrint(const Answer& fingerprinted)
{
    AgentQuery q;
    q.fingerprint = data(fingerprinted).toString().toStdString();
    return q;
}

std::string campaignText(const char* audience, const char* extra = "")
{
    return std::string(R"({"name":"c","state":"active","message":{"title":"T","actions":[)"
                       R"({"id":"open","action":"Open","url":"https:/)"
                       R"(/example.com"}]},"audience":)") +
           audience + extra + "}";
}

} // namespace

class TestPushStore : public QObject
{
    Q_OBJECT

private slots:
    void queryReader_data()
    {
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("mac"); // or the reason's start
        QTest::newRow("agent's query")
            << QByteArray("/push/channel/polling/detect?userId=u1&mac=00-1A"
                          "&product=P&version=2.0&cv=20150910&properties=a:1")
            << true << "00-1A";
        QTest::newRow("escaped by the URL layer")
            << QByteArray("/p?mac=a%20b%C3%A9") << true << QString::fromUtf8("a b\xC3\xA9");
        QTest::newRow("repeated: the last counts") << QByteArray("/p?mac=1&mac=2") << true << "2";
        QTest::newRow("bad escape") << QByteArray("/p?mac=%4") << false << "a bad percent";
        QTest::newRow("bad hex") << QByteArray("/p?mac=%zz") << false << "a bad percent";
        QTest::newRow("invalid UTF-8")
            << QByteArray("/p?mac=%C3%28") << false << "the query is not";
        QTest::newRow("overlong UTF-8")
            << QByteArray("/p?mac=%C0%AF") << false << "the query is not";
        QTest::newRow("surrogate") << QByteArray("/p?mac=%ED%A0%80") << false << "the query is not";
        QTest::newRow("not a path") << QByteArray("http://x/p") << false << "the request target";
        QTest::newRow("65 parameters")
            << "/p?" + QByteArray("a=1&").repeated(65) << false << "more than 64";
        QTest::newRow("value over 4 kB")
            << "/p?mac=" + QByteArray(4097, 'x') << false << "a query parameter over";
    }

    void queryReader()
    {
        QFETCH(QByteArray, target);
        QFETCH(bool, ok);
        QFETCH(QString, mac);
        std::string path;
        AgentQuery q;
        std::string reason;
        QCOMPARE(readTarget(target.toStdString(), &path, &q, &reason), ok);
        if (ok) {
            QCOMPARE(QString::fromStdString(q.mac), mac);
        } else {
            QVERIFY2(QString::fromStdString(reason).startsWith(mac), reason.c_str());
        }
    }

    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("numbers, not text") << "2.10"
                                           << "2.9" << 1;
        QTest::newRow("missing parts are 0") << "2"
                                             << "2.0.0" << 0;
        QTest::newRow("leading zeros") << "2.01"
                                       << "2.1" << 0;
        QTest::newRow("below") << "1.9"
                               << "2" << -1;
        QTest::newRow("long numbers") << "20260101000000000001"
                                      << "20260101000000000000" << 1;
        QTest::newRow("pre-release text") << "2.0-beta"
                                          << "2.0-alpha" << 1;
        QTest::newRow("empty") << ""
                               << "0" << 0;
    }

    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(compareVersions(a.toStdString(), b.toStdString()), order);
        QCOMPARE(compareVersions(b.toStdString(), a.toStdString()), -order);
    }

    void audience_data()
    {
        QTest::addColumn<QByteArray>("audience");
        QTest::addColumn<QStringList>(
            "machine"); // product, version, purchased, uid, mac, properties
        QTest::addColumn<bool>("taken");
        const QStringList m{"P", "2.1", "", "u1", "M1", "edition:pro,lang:de"};
        QTest::newRow("anyone") << QByteArray("{}") << m << true;
        QTest::newRow("product") << QByteArray(R"({"products":["Q","P"]})") << m << true;
        QTest::newRow("other product") << QByteArray(R"({"products":["Q"]})") << m << false;
        QTest::newRow("version >= 2") << QByteArray(R"({"versionAtLeast":"2"})") << m << true;
        QTest::newRow("1.9 < 2") << QByteArray(R"({"versionAtLeast":"2"})")
                                 << QStringList{"P", "1.9", "", "u1", "M1", ""} << false;
        QTest::newRow("no version, bounded") << QByteArray(R"({"versionAtLeast":"2"})")
                                             << QStringList{"P", "", "", "", "M1", ""} << false;
        QTest::newRow("below 2.1") << QByteArray(R"({"versionBelow":"2.1"})") << m << false;
        QTest::newRow("unstated purchase")
            << QByteArray(R"({"purchased":["unstated"]})") << m << true;
        QTest::newRow("bought only") << QByteArray(R"({"purchased":["Y"]})") << m << false;
        QTest::newRow("uid list") << QByteArray(R"({"userIds":["u2","u1"]})") << m << true;
        QTest::newRow("mac list") << QByteArray(R"({"macs":["M2"]})") << m << false;
        QTest::newRow("property") << QByteArray(R"({"properties":{"edition":"pro"}})") << m << true;
        QTest::newRow("property differs")
            << QByteArray(R"({"properties":{"edition":"pro","lang":"fr"}})") << m << false;
        QTest::newRow("0 percent") << QByteArray(R"({"percent":0})") << m << false;
        QTest::newRow("100 percent") << QByteArray(R"({"percent":100})") << m << true;
    }

    void audience()
    {
        QFETCH(QByteArray, audience);
        QFETCH(QStringList, machine);
        std::string reason;
        Campaign c;
        const Json doc = parseJson(campaignText(audience.constData()), &reason);
        QVERIFY2(campaignFromJson(doc.get(), &c, &reason), reason.c_str());
        Machine m;
        m.product = machine[0].toStdString();
        m.version = machine[1].toStdString();
        m.purchased = machine[2].toStdString();
        m.userId = machine[3].toStdString();
        m.mac = machine[4].toStdString();
        m.properties = machine[5].toStdString();
        QTEST(matches(c, m), "taken");
    }

    // A rollout of 30 % takes about 30 % of machines, the same ones each time.
    void rollout()
    {
        int taken = 0;
        for (int i = 0; i < 10000; ++i) {
            const std::string mac = "M" + std::to_string(i);
            taken += rolloutSlot(7, mac, "P") < 3000 ? 1 : 0;
            QCOMPARE(rolloutSlot(7, mac, "P"), rolloutSlot(7, mac, "P"));
        }
        QVERIFY2(taken > 2800 && taken < 3200, qPrintable(QString::number(taken)));
    }

    void campaignFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("reason"); // empty: accepted
        QTest::newRow("whole") << QByteArray(campaignText(R"({"products":["P"]})",
                                                          R"(,"start":"2026-01-31T12:00:00Z",)"
                                                          R"("end":1900000000,"priority":3)")
                                                 .c_str())
                               << "";
        QTest::newRow("no message") << QByteArray(R"({"name":"x"})") << "missing \"message\"";
        QTest::newRow("unknown member")
            << QByteArray(R"({"message":{},"when":1})") << "unknown member \"when\"";
        QTest::newRow("title a number")
            << QByteArray(R"({"message":{"title":5}})") << "\"message\".\"title\" must be a text";
        QTest::newRow("17 actions")
            << QByteArray(
                   ("{\"message\":{\"actions\":[" + QString("{},").repeated(16) + "{}]}}").toUtf8())
            << "\"message\".\"actions\" must be an array of at most 16";
        QTest::newRow("bad purchase")
            << QByteArray(R"({"message":{},"audience":{"purchased":["y"]}})")
            << "\"purchased\" takes";
        QTest::newRow("percent over 100")
            << QByteArray(R"({"message":{},"audience":{"percent":101}})") << "\"percent\" must be";
        QTest::newRow("end before start")
            << QByteArray(R"({"message":{},"start":2000000000,"end":1900000000})")
            << "\"end\" must come after";
        QTest::newRow("bad time") << QByteArray(R"({"message":{},"start":"31.1.2026"})")
                                  << "\"start\" must be";
        QTest::newRow("created paused")
            << QByteArray(R"({"message":{},"state":"paused"})") << "\"state\" of a new campaign";
        QTest::newRow("perMachine 0")
            << QByteArray(R"({"message":{},"perMachine":0})") << "\"perMachine\" must be";
        QTest::newRow("duplicate key")
            << QByteArray(R"({"message":{},"message":{}})") << "not JSON: duplicate";
        QTest::newRow("invalid UTF-8")
            << QByteArray("{\"name\":\"\xC3\x28\",\"message\":{}}") << "not JSON: ";
    }

    void campaignFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, reason);
        std::string why;
        Campaign c;
        const Json doc = parseJson(text.toStdString(), &why);
        const bool ok = doc && campaignFromJson(doc.get(), &c, &why);
        QCOMPARE(ok, reason.isEmpty());
        QVERIFY2(QString::fromStdString(why).startsWith(reason), why.c_str());
        QVERIFY(why.find('\n') == std::string::npos);
    }

    void stores_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("sqlite") << "sqlite";
        QTest::newRow("postgresql") << "postgresql";
    }

    // A machine's life with one campaign: a fingerprint first, then its count,
    // its message once, its click counted once; a pause stops new machines.
    void campaignLife_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("view");
        for (const char* kind : {"sqlite", "postgresql"}) {
            QTest::newRow(kind) << kind << false;
            QTest::newRow(qPrintable(QString(kind) + ", detect view")) << kind << true;
        }
    }
    void campaignLife()
    {
        QFETCH(QString, kind);
        QFETCH(bool, view);
        TestStore db(kind, "campaign_life");
        QVERIFY(!db.url.isEmpty());
        PushStore store(db.url.toStdString(), 2);
        std::string reason;
        QVERIFY2(store.migrate(&reason) == schemaVersion, reason.c_str());
        QCOMPARE(store.migrate(&reason), schemaVersion); // again: nothing to do
        QCOMPARE(
            store.createCampaign(campaignText(R"({"products":["P"],"versionAtLeast":"2"})"), now)
                .status,
            201);

        const Answer first = store.detect(machine("M1"), now);
        QCOMPARE(code(first), 901);
        AgentQuery byPrint;
        byPrint.fingerprint = data(first).toString().toStdString();
        QCOMPARE(byPrint.fingerprint.size(), std::size_t(32));
        QCOMPARE(body(store.detect(machine("M1"), now)), body(first)); // the same one again
        QCOMPARE(body(store.detect(byPrint, now)), QByteArray(R"({"code":800,"data":1})"));
        if (view) { // the view holds the machine: its own delivery is seen at once below
            store.startView(100);
            QTRY_VERIFY(fromView(store, byPrint, R"({"code":800,"data":1})"));
        }
        QCOMPARE(body(store.detect(machine("M2", "1.9"), now)).left(11),
                 QByteArray(R"({"code":901)"));
        AgentQuery old = machine("M2", "1.9");
        old.fingerprint = "";

        const Answer fetched = store.fetch(byPrint, now);
        QCOMPARE(code(fetched), 801);
        const QJsonArray list = data(fetched).toArray();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list[0]["title"].toString(), QStringLiteral("T"));
        QCOMPARE(list[0]["uuid"].toString(), QStringLiteral("campaign-1"));
        const QString actionId = list[0]["actions"][0]["id"].toString();
        QCOMPARE(data(store.fetch(byPrint, now)).toArray().size(), 0); // delivered once
        QCOMPARE(body(store.detect(byPrint, now)), QByteArray(R"({"code":800,"data":0})"));
        QCOMPARE(data(store.fetch(old, now)).toArray().size(), 0); // 1.9 is not taken

        AgentQuery click;
        click.id = actionId.toStdString();
        QCOMPARE(store.action(click, now).status, 200);
        QCOMPARE(store.action(click, now).status, 200); // the same click twice counts once
        click.id = "c1-m2-a0";                          // a machine it never reached
        store.action(click, now);
        QJsonObject stats = json(store.stats(1));
        QCOMPARE(stats["matched"].toInt(), 1);
        QCOMPARE(stats["delivered"].toInt(), 1);
        QCOMPARE(stats["clicked"].toObject()["open"].toInt(), 1);
        QCOMPARE(stats["days"].toObject()["2027-01-15"].toObject()["delivered"].toInt(), 1);

        QCOMPARE(store.changeCampaign(1, "pause", now).status, 200);
        QCOMPARE(store.changeCampaign(1, "pause", now).status, 409);
        QCOMPARE(store.changeCampaign(9, "pause", now).status, 404);
        QCOMPARE(data(store.fetch(machine("M3"), now)).toArray().size(), 0);
        QCOMPARE(store.changeCampaign(1, "resume", now).status, 200);
        QCOMPARE(data(store.fetch(machine("M3"), now)).toArray().size(), 1);
        QCOMPARE(json(store.stats(1))["machinesDelivered"].toInt(), 2);
    }

    // Times, priorities, repeats, direct messages, fleet controls and an
    // unknown fingerprint, each as the agent sees it.
    void deliveryRules_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("rule");
        for (const char* kind : {"sqlite", "postgresql"}) {
            for (const char* rule :
                 {"not yet started", "ended", "priority order", "twice each", "direct",
                  "interval once", "base move", "unknown fingerprint"}) {
                QTest::newRow(qPrintable(QString("%1, %2").arg(kind, rule))) << kind << rule;
            }
        }
    }
    void deliveryRules()
    {
        QFETCH(QString, kind);
        QFETCH(QString, rule);
        TestStore db(kind, "delivery_rules");
        QVERIFY(!db.url.isEmpty());
        PushStore store(db.url.toStdString(), 2);
        std::string reason;
        QVERIFY2(store.migrate(&reason) == schemaVersion, reason.c_str());
        QCOMPARE(store.changeSettings(R"({"fingerprints":"off"})").status, 200);
        const AgentQuery m = machine("M1");
        const auto titles = [&](const Answer& a) {
            QStringList out;
            for (const QJsonValue v : data(a).toArray()) {
                out << v["title"].toString();
            }
            return out;
        };
        if (rule == "not yet started" || rule == "ended") {
            const std::string times =
                rule == "ended" ? R"(,"start":1000,"end":2000)" : R"(,"start":1900000000)";
            store.createCampaign(campaignText("{}", times.c_str()), now);
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":800,"data":0})"));
            QCOMPARE(titles(store.fetch(m, now)), QStringList());
        } else if (rule == "priority order") {
            store.createCampaign(R"({"state":"active","message":{"title":"low"},"priority":1})",
                                 now);
            store.createCampaign(R"({"state":"active","message":{"title":"high"},"priority":5})",
                                 now);
            store.createCampaign(R"({"message":{"title":"draft"}})", now);
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":800,"data":2})"));
            QCOMPARE(titles(store.fetch(m, now)), (QStringList{"high", "low"}));
        } else if (rule == "twice each") {
            store.createCampaign(R"({"state":"active","message":{"title":"x"},"perMachine":2})",
                                 now);
            QCOMPARE(titles(store.fetch(m, now)), QStringList{"x"});
            QCOMPARE(titles(store.fetch(m, now)), QStringList{"x"});
            QCOMPARE(titles(store.fetch(m, now)), QStringList());
        } else if (rule == "direct") {
            QCOMPARE(
                store
                    .sendDirect(
                        R"({"to":{"mac":"M1","product":"P"},"messages":[{"title":"d1"},{"title":"d2"}]})",
                        now)
                    .status,
                200);
            QCOMPARE(
                store.sendDirect(R"({"to":{"fingerprint":"unknown"},"message":{}})", now).status,
                404);
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":800,"data":2})"));
            QCOMPARE(titles(store.fetch(m, now)), (QStringList{"d1", "d2"}));
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":800,"data":0})"));
        } else if (rule == "interval once") {
            store.changeSettings(R"({"interval":30})");
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":902,"data":30})"));
            QCOMPARE(code(store.detect(m, now)), 800);
            store.changeSettings(R"({"interval":45})");
            QCOMPARE(body(store.detect(m, now)), QByteArray(R"({"code":902,"data":45})"));
        } else if (rule == "base move") {
            QCOMPARE(store
                         .changeSettings("{\"baseUrl\":\"https:/"
                                         "/b.example/push/\"}")
                         .status,
                     400);
            store.changeSettings("{\"baseUrl\":\"https:/"
                                 "/b.example/push\"}");
            QCOMPARE(body(store.detect(m, now)), QByteArray("{\"code\":903,\"data\":\"https:/"
                                                            "/b.example/push\"}"));
            QCOMPARE(code(store.detect(m, now)), 800);
        } else if (rule == "unknown fingerprint") {
            AgentQuery stray;
            stray.fingerprint = "from another service";
            QCOMPARE(code(store.detect(stray, now)), 904);
            QCOMPARE(code(store.fetch(stray, now)), 904);
        }
    }

    // Instances asked at once for the same machines: each campaign reaches
    // each machine once, whichever instance answers.
    void instancesAtOnce_data() { stores_data(); }
    void instancesAtOnce()
    {
        QFETCH(QString, kind);
        TestStore db(kind, "instances_at_once");
        QVERIFY(!db.url.isEmpty());
        std::vector<std::unique_ptr<PushStore>> instances;
        instances.reserve(4);
        for (int i = 0; i < 4; ++i) {
            instances.push_back(std::make_unique<PushStore>(db.url.toStdString(), 2));
        }
        std::string reason;
        QVERIFY2(instances[0]->migrate(&reason) == schemaVersion, reason.c_str());
        for (int c = 0; c < 3; ++c) {
            instances[0]->createCampaign(campaignText("{}"), now);
        }
        constexpr int machines = 40;
        std::atomic<int> delivered{0};
        std::atomic<int> failed{0};
        std::vector<std::thread> threads;
        threads.reserve(8);
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] {
                PushStore& store = *instances[std::size_t(i % 4)];
                for (int k = 0; k < machines; ++k) {
                    const Answer a = store.fetch(machine("M" + std::to_string(k)), now);
                    if (a.status != 200) {
                        ++failed;
                        continue;
                    }
                    delivered += int(data(a).toArray().size());
                }
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        QCOMPARE(failed.load(), 0);
        QCOMPARE(delivered.load(), machines * 3);
        for (int c = 1; c <= 3; ++c) {
            QCOMPARE(json(instances[1]->stats(c))["machinesDelivered"].toInt(), machines);
            QCOMPARE(json(instances[1]->stats(c))["delivered"].toInt(), machines);
        }
    }

    // Another instance's detect view: what changes through one instance is
    // answered by the other's view within its bound; a machine it does not
    // hold yet is answered by the store at once; it holds at most its cap.
    // On PostgreSQL a change committed after later ones is not skipped.
    void detectView_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("rule");
        for (const char* kind : {"sqlite", "postgresql"}) {
            for (const char* rule :
                 {"delivered elsewhere", "paused elsewhere", "ended elsewhere", "direct elsewhere",
                  "version changed elsewhere", "interval set elsewhere", "new machine", "cap",
                  "stops at once", "committed late"}) {
                if (QString(rule) != "committed late" || QString(kind) == "postgresql") {
                    QTest::newRow(qPrintable(QString("%1, %2").arg(kind, rule))) << kind << rule;
                }
            }
        }
    }
    void detectView()
    {
        QFETCH(QString, kind);
        QFETCH(QString, rule);
        TestStore db(kind, "detect_view");
        QVERIFY(!db.url.isEmpty());
        PushStore a(db.url.toStdString(), 2);
        PushStore b(db.url.toStdString(), 2);
        std::string reason;
        QVERIFY2(a.migrate(&reason) == schemaVersion, reason.c_str());
        QCOMPARE(a.createCampaign(campaignText(R"({"versionAtLeast":"2"})"), now).status, 201);
        const AgentQuery m1 = byPrint(a.detect(machine("M1"), now));
        const AgentQuery m2 = byPrint(a.detect(machine("M2"), now));
        const QByteArray one = R"({"code":800,"data":1})";
        const QByteArray none = R"({"code":800,"data":0})";
        b.startView(rule == "cap" ? 1 : 100);
        if (rule == "cap") {
            QTRY_COMPARE(b.view()->machines(), std::size_t(1));
            // One machine from the view, the other from the store, both right.
            const uint64_t before = b.view()->answered();
            QCOMPARE(body(b.detect(m1, now)), one);
            QCOMPARE(body(b.detect(m2, now)), one);
            QCOMPARE(b.view()->answered(), before + 1);
            QCOMPARE(b.view()->machines(), std::size_t(1));
            return;
        }
        QTRY_VERIFY(fromView(b, m1, one));
        if (rule == "stops at once") { // its refresher waits, it does not sleep
            auto c = std::make_unique<PushStore>(db.url.toStdString(), 1);
            c->startView(100);
            QTRY_VERIFY(fromView(*c, m1, one));
            QElapsedTimer stopping;
            stopping.start();
            c.reset();
            QVERIFY2(stopping.elapsed() < DetectView::refreshMs / 2,
                     qPrintable(QString::number(stopping.elapsed())));
            return;
        }
        if (rule == "new machine") {
            const AgentQuery m3 = byPrint(a.detect(machine("M3"), now));
            QCOMPARE(body(b.detect(m3, now)), one); // not 904: the store knows it
            QTRY_VERIFY(fromView(b, m3, one));
            return;
        }
        QElapsedTimer sinceChange;
        sinceChange.start();
        if (rule == "committed late") {
            // A transaction writes a change and commits only after a later
            // one has been read by the view.
            PGconn* late = PQconnectdb(db.url.toUtf8().constData());
            for (const char* sql :
                 {"BEGIN", "UPDATE machines SET direct_waiting = 1 WHERE mac = 'M1'",
                  "INSERT INTO changes (machine_id, at) SELECT id, 0 FROM machines WHERE mac = "
                  "'M1'"}) {
                PQclear(PQexec(late, sql));
            }
            QCOMPARE(a.sendDirect(R"({"to":{"mac":"M2","product":"P"},"message":{}})", now).status,
                     200);
            QTRY_VERIFY(fromView(b, m2, R"({"code":800,"data":2})"));
            QCOMPARE(body(b.detect(m1, now)), one);
            PQclear(PQexec(late, "COMMIT"));
            PQfinish(late);
            sinceChange.restart();
        } else if (rule == "version changed elsewhere") {
            QCOMPARE(code(a.detect(machine("M1", "1.9"), now)), 901);
        } else if (rule == "interval set elsewhere") {
            QCOMPARE(a.changeSettings(R"({"interval":30})").status, 200);
            QByteArray told; // the first answer that is not the count: told once
            const auto tells = [&] {
                const QByteArray answer = told.isEmpty() ? body(b.detect(m1, now)) : told;
                told = answer == one ? QByteArray() : answer;
                return !told.isEmpty();
            };
            QTRY_VERIFY(tells());
            QCOMPARE(told, QByteArray(R"({"code":902,"data":30})"));
            QVERIFY(sinceChange.elapsed() <= DetectView::staleMs + 300);
            QTRY_VERIFY(fromView(b, m1, one)); // told once
            return;
        } else if (rule == "delivered elsewhere") {
            QCOMPARE(data(a.fetch(m1, now)).toArray().size(), 1);
        } else if (rule == "direct elsewhere") {
            QCOMPARE(a.sendDirect(R"({"to":{"mac":"M1","product":"P"},"message":{}})", now).status,
                     200);
        } else {
            QCOMPARE(a.changeCampaign(1, rule == "paused elsewhere" ? "pause" : "end", now).status,
                     200);
        }
        const QByteArray after = rule == "direct elsewhere" || rule == "committed late"
                                     ? R"({"code":800,"data":2})"
                                     : none;
        QTRY_COMPARE(body(b.detect(m1, now)), after);
        QVERIFY2(sinceChange.elapsed() <= DetectView::staleMs + 300,
                 qPrintable(QString::number(sinceChange.elapsed())));
        QTRY_VERIFY(fromView(b, m1, after)); // and the view itself follows
        if (rule == "delivered elsewhere") {
            QCOMPARE(data(b.fetch(m1, now)).toArray().size(), 0);
        }
    }

    void adminTokens_data() { stores_data(); }
    void adminTokens()
    {
        QFETCH(QString, kind);
        TestStore db(kind, "admin_tokens");
        PushStore store(db.url.toStdString(), 1);
        std::string reason;
        QVERIFY(store.migrate(&reason) == schemaVersion);
        const std::string reader = store.addToken("r", "read", &reason);
        const std::string writer = store.addToken("w", "write", &reason);
        QVERIFY(store.addToken("w", "write", &reason).empty()); // names are unique
        QCOMPARE(store.authorize(reader), Role::Read);
        QCOMPARE(store.authorize(writer), Role::Write);
        QCOMPARE(store.authorize(writer + "x"), Role::None);
        QCOMPARE(store.authorize(""), Role::None);
    }

    // No store: 503 at once, with a one-line reason.
    void storeUnreachable()
    {
        PushStore store("postgresql:///none?host=/nonexistent&user=x", 1);
        QElapsedTimer timer;
        timer.start();
        const Answer a = store.detect(machine("M1"), now);
        QCOMPARE(a.status, 503);
        QVERIFY(timer.elapsed() < 1000);
        QCOMPARE(QByteArray::fromStdString(a.body).count('\n'), 1);
    }
};

QTEST_GUILESS_MAIN(TestPushStore)
#include "tst_pushstore.moc"
