// The real agent (its test build) polling zav-push end to end: a campaign for
// product P from version 2 pops up on a host at 2.1, not on one at 1.9, lands
// in a customize host's queue, has its click counted, and once paused reaches
// no new machine.
#include "agent.h"
#include "pushtest.h"
#include "xsession.h"

#include <sqlite3.h>

#include <QtTest>

namespace {

QString sqliteText(const QString& path, const QString& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    QString value;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0)) {
        value = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}

} // namespace

class TestPushAgent : public QObject
{
    Q_OBJECT

private slots:
    void campaignToAgents()
    {
        QTemporaryDir dir;
        const QString file = dir.filePath("p.db");
        const QString store = "sqlite:" + file;
        QVERIFY(runPush({"migrate", "--db", store}) == 0);
        const QByteArray token = writeToken(store);
        PushProcess service(
            store, {},
            QStringLiteral("127.0.0.1:%1").arg(qEnvironmentVariable("ZAV_TEST_PUSH_PORT")));
        QVERIFY(service.port);
        // Every agent polls every second once it has been told so (902).
        QCOMPARE(service.admin("PUT", "/admin/settings", R"({"interval":1})", token).status, 200);
        QCOMPARE(
            service
                .admin(
                    "POST", "/admin/campaigns",
                    R"({"name":"v2","state":"active","audience":{"products":["P"],)"
                    R"("versionAtLeast":"2"},"message":{"messageForm":"Text","authorName":"zav-push",)"
                    R"("title":"Version two","summary":"For 2 and later",)"
                    R"("actions":[{"id":"more","action":"More","url":""}]}})",
                    token)
                .status,
            201);

        QElapsedTimer since;
        since.start();
        RuntimeDir runtime;
        Host newer, older, custom, late;
        AgentProcess agent(runtime);
        QVERIFY(agent.startAnswering(newer.pid(),
                                     {"-product", "P", "-mac", "MA", "-productversion", "2.1"}));
        for (const auto& [host, args] :
             {std::pair<Host*, QStringList>{&older, {"-productversion", "1.9", "-mac", "MB"}},
              std::pair<Host*, QStringList>{
                  &custom, {"-productversion", "2.0", "-mac", "MC", "-handle", "customize"}}}) {
            AgentProcess copy(runtime);
            copy.start(host->pid(), QStringList{"-product", "P"} + args);
            QVERIFY(copy.process.waitForFinished(10000));
        }
        // The popup on the host at 2.1, the queue of the customize host.
        QVERIFY2(agent.logged("popup shown: zav-push: Version two", 60000),
                 qPrintable(agent.log().right(2000)));
        qInfo() << "popup after" << since.elapsed() << "ms";
        QTRY_COMPARE_WITH_TIMEOUT(ask("MessageCount:" + custom.pid().toUtf8()), QByteArray("1"),
                                  30000);
        const QByteArray queued = ask("GetMessage:" + custom.pid().toUtf8());
        QVERIFY2(queued.contains(R"("title":"Version two")"), queued.constData());

        // The 1.9 host was asked about and got nothing.
        const QString olderPrint =
            sqliteText(file, "SELECT fingerprint FROM machines WHERE mac = 'MB'");
        QVERIFY(!olderPrint.isEmpty());
        QVERIFY(agent.logged("detect?fingerprint=" + olderPrint, 30000));
        QJsonObject stats = QJsonDocument::fromJson(
                                service.admin("GET", "/admin/campaigns/1/stats", {}, token).body)
                                .object();
        QCOMPARE(stats["matched"].toInt(), 2);
        QCOMPARE(stats["machinesDelivered"].toInt(), 2);

        // Paused: a new host at 2.5 is polled for and gets nothing.
        QCOMPARE(service.admin("POST", "/admin/campaigns/1/pause", "{}", token).status, 200);
        AgentProcess copy(runtime);
        copy.start(late.pid(), {"-product", "P", "-mac", "MD", "-productversion", "2.5"});
        QVERIFY(copy.process.waitForFinished(10000));
        QTRY_VERIFY_WITH_TIMEOUT(
            !sqliteText(file, "SELECT fingerprint FROM machines WHERE mac = 'MD'").isEmpty(),
            30000);
        const QString latePrint =
            sqliteText(file, "SELECT fingerprint FROM machines WHERE mac = 'MD'");
        QVERIFY(agent.logged("detect?fingerprint=" + latePrint, 30000));
        QTRY_VERIFY_WITH_TIMEOUT(agent.log().count("detect?fingerprint=" + latePrint) >= 2, 30000);
        stats = QJsonDocument::fromJson(
                    service.admin("GET", "/admin/campaigns/1/stats", {}, token).body)
                    .object();
        QCOMPARE(stats["matched"].toInt(), 3);
        QCOMPARE(stats["machinesDelivered"].toInt(), 2);
        QVERIFY(!agent.log().contains("message?fingerprint=" + latePrint));
        qInfo() << "done after" << since.elapsed() << "ms";
        QCOMPARE(agent.terminate(), 0);
    }

    // A popup on a real X display, its button clicked with the mouse: the
    // agent's report is counted in the campaign's clicks.
    void clickCounted()
    {
        if (!XSession::available()) {
            QSKIP("needs Xvfb and xdotool");
        }
        QTemporaryDir dir;
        const QString store = "sqlite:" + dir.filePath("p.db");
        QVERIFY(runPush({"migrate", "--db", store}) == 0);
        const QByteArray token = writeToken(store);
        PushProcess service(
            store, {},
            QStringLiteral("127.0.0.1:%1").arg(qEnvironmentVariable("ZAV_TEST_PUSH_PORT")));
        QVERIFY(service.port);
        QCOMPARE(
            service.admin("PUT", "/admin/settings", R"({"interval":1,"fingerprints":"off"})", token)
                .status,
            200);
        QCOMPARE(service
                     .admin("POST", "/admin/campaigns",
                            R"({"state":"active","message":{"authorName":"zav-push",)"
                            R"("title":"Click me","actions":[{"id":"more","action":"More",)"
                            R"("url":""}]}})",
                            token)
                     .status,
                 201);
        XSession x;
        QVERIFY(x.start());
        RuntimeDir runtime;
        Host host;
        AgentProcess agent(runtime);
        QProcessEnvironment env = x.environment();
        env.insert("QT_XCB_GL_INTEGRATION", "none");
        agent.process.setProcessEnvironment(env);
        QVERIFY(agent.startAnswering(host.pid(), {"-product", "P", "-mac", "MX"}));
        QVERIFY2(agent.logged("popup shown: zav-push: Click me", 30000),
                 qPrintable(agent.log().right(2000)));
        const QString window = x.run(
            "xdotool", {"search", "--sync", "--onlyvisible", "--classname", "zav-msg-agent-test"});
        QVERIFY(!window.isEmpty());
        // The button sits at the right of the popup's bottom row, once the
        // popup has slid in: tried over that corner until the click counts.
        const auto clicked = [&] {
            const QJsonObject stats =
                QJsonDocument::fromJson(
                    service.admin("GET", "/admin/campaigns/1/stats", {}, token).body)
                    .object();
            return stats["clicked"].toObject()["more"].toInt();
        };
        QTest::qWait(500);
        const QString geometry = x.run("xdotool", {"getwindowgeometry", window});
        const QRegularExpressionMatch at =
            QRegularExpression("Position: (\\d+),(\\d+).*Geometry: (\\d+)x(\\d+)",
                               QRegularExpression::DotMatchesEverythingOption)
                .match(geometry);
        QVERIFY2(at.hasMatch(), qPrintable(geometry));
        const int right = at.captured(1).toInt() + at.captured(3).toInt();
        const int bottom = at.captured(2).toInt() + at.captured(4).toInt();
        for (int dy = 8; dy <= 48 && clicked() == 0; dy += 6) {
            for (int dx = 12; dx <= 90 && clicked() == 0; dx += 10) {
                x.run("xdotool", {"mousemove", QString::number(right - dx),
                                  QString::number(bottom - dy), "click", "1"});
                QTest::qWait(100);
            }
        }
        QTRY_COMPARE_WITH_TIMEOUT(clicked(), 1, 5000);
        QCOMPARE(agent.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestPushAgent)
#include "tst_pushagent.moc"
