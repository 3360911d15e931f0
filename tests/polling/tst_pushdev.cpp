// zav-push-dev, started as a process: the polling endpoints, the admin
// endpoints, bad input, and the agent's worker polling it end to end.
#include "core/clientpool.h"
#include "core/globals.h"
#include "app/logging.h"
#include "message/message.h"
#include "polling/pollingworker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Answer
{
    int status = 0;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

} // namespace

class TestPushDev : public QObject
{
    Q_OBJECT

    QProcess service;
    QString root; // http://127.0.0.1:PORT
    QNetworkAccessManager network;
    QString initialBaseUrl;

    bool start(const QStringList& extra = {})
    {
        service.setProgram(QStringLiteral(ZAV_PUSH_DEV));
        service.setArguments(QStringList{"--listen", "127.0.0.1:0"} + extra);
        service.start();
        if (!service.waitForStarted()) {
            return false;
        }
        while (!service.canReadLine() && service.waitForReadyRead(10000)) {
        }
        const QString line = QString::fromUtf8(service.readLine());
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("listening on (http://[0-9.]+:[0-9]+)/push"))
                .match(line);
        root = m.captured(1);
        return m.hasMatch();
    }

    Answer request(const QByteArray& method, const QString& path, const QByteArray& body = {})
    {
        QNetworkRequest req(QUrl(root + path));
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = network.sendCustomRequest(req, method, body);
        QSignalSpy done(reply, &QNetworkReply::finished);
        done.wait(10000);
        Answer a;
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        reply->deleteLater();
        return a;
    }
    Answer get(const QString& path) { return request("GET", path); }
    Answer post(const QString& path, const QByteArray& body) { return request("POST", path, body); }

private slots:
    void initTestCase() { initialBaseUrl = baseUrl.get(); }
    void init() { QVERIFY(start()); }
    void cleanup()
    {
        clientPool.clear();
        baseUrl.set(initialBaseUrl);
        network.clearConnectionCache(); // idle keep-alive connections delay the stop
        service.terminate();            // SIGTERM: a clean stop
        QVERIFY(service.waitForFinished(10000));
        QCOMPARE(service.exitStatus(), QProcess::NormalExit);
        QCOMPARE(service.exitCode(), 0);
    }

    void queuesPerClientAndForAll()
    {
        const QString detectM = "/push/channel/polling/detect?mac=M&product=P&cv=20150910";
        const QString fetchM = "/push/channel/polling/message?mac=M&product=P&cv=20150910";
        QCOMPARE(get(detectM).json().value("data").toInt(), 0);
        QCOMPARE(post("/admin/messages",
                      R"({"to":{"mac":"M","product":"P"},"messages":[{"uuid":"1"},{"uuid":"2"}]})")
                     .status,
                 200);
        QCOMPARE(post("/admin/messages", R"({"to":"all","message":{"uuid":"b"}})").status, 200);
        const QJsonObject detect = get(detectM).json();
        QCOMPARE(detect.value("code").toInt(), 800);
        QCOMPARE(detect.value("data").toInt(), 3);
        // Another client only sees the message for all.
        QCOMPARE(get("/push/channel/polling/detect?mac=N&product=P").json().value("data").toInt(),
                 1);

        const QJsonObject list = get(fetchM).json();
        QCOMPARE(list.value("code").toInt(), 801);
        QStringList uuids;
        for (const QJsonValue& m : list.value("data").toArray()) {
            uuids << m.toObject().value("uuid").toString();
        }
        QCOMPARE(uuids, QStringList({"b", "1", "2"}));
        QCOMPARE(get(detectM).json().value("data").toInt(), 0);
        QCOMPARE(get(fetchM).json().value("data").toArray().size(), 0);
    }

    // A fingerprint handed out through a raw 901 answer leads to the same queue.
    void fingerprintKeepsTheQueue()
    {
        QCOMPARE(post("/admin/next", R"({"code":901,"data":"F1"})").status, 200);
        QCOMPARE(get("/push/channel/polling/detect?mac=M&product=P").json().value("code").toInt(),
                 901);
        post("/admin/messages", R"({"to":{"fingerprint":"F1"},"message":{"uuid":"x"}})");
        QCOMPARE(get("/push/channel/polling/detect?mac=M&product=P").json().value("data").toInt(),
                 1);
        QCOMPARE(get("/push/channel/polling/detect?fingerprint=F1").json().value("data").toInt(),
                 1);
    }

    void rawAnswersInOrder()
    {
        QCOMPARE(post("/admin/next", "not json at all").status, 200);
        QCOMPARE(post("/admin/next?status=503", R"({"code":902,"data":5})").status, 200);
        const Answer first = get("/push/channel/polling/detect?mac=M&product=P");
        QCOMPARE(first.status, 200);
        QCOMPARE(first.body, QByteArray("not json at all"));
        const Answer second = get("/push/channel/polling/message?mac=M&product=P");
        QCOMPARE(second.status, 503);
        QCOMPARE(second.json().value("code").toInt(), 902);
        QCOMPARE(get("/push/channel/polling/detect?mac=M&product=P").json().value("code").toInt(),
                 800);
    }

    void actionReportsRecorded()
    {
        QCOMPARE(get("/push/channel/polling/action?id=a1").status, 200);
        get("/push/channel/polling/action?id=%E5%BC%A0");
        const QJsonArray list = get("/admin/actions").json().value("actions").toArray();
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.at(0).toObject().value("id").toString(), QStringLiteral("a1"));
        QCOMPARE(list.at(1).toObject().value("id").toString(), QStringLiteral("张"));
    }

    void badAdminInput_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        const QString messages = "/admin/messages";
        QTest::newRow("not JSON") << QByteArray("POST") << messages << QByteArray("{\"to\":") << 400
                                  << "not JSON";
        QTest::newRow("binary") << QByteArray("POST") << messages << QByteArray("\xff\x00\x01", 3)
                                << 400 << "not JSON";
        QTest::newRow("array") << QByteArray("POST") << messages << QByteArray("[]") << 400
                               << "JSON object";
        QTest::newRow("no to") << QByteArray("POST") << messages << QByteArray(R"({"message":{}})")
                               << 400 << "\"to\"";
        QTest::newRow("to a word")
            << QByteArray("POST") << messages << QByteArray(R"({"to":"everyone","message":{}})")
            << 400 << "\"all\"";
        QTest::newRow("to without product")
            << QByteArray("POST") << messages << QByteArray(R"({"to":{"mac":"M"},"message":{}})")
            << 400 << "names no client";
        QTest::newRow("to a number") << QByteArray("POST") << messages
                                     << QByteArray(R"({"to":7,"message":{}})") << 400 << "\"to\"";
        QTest::newRow("no message") << QByteArray("POST") << messages
                                    << QByteArray(R"({"to":"all"})") << 400 << "\"message\"";
        QTest::newRow("message a text")
            << QByteArray("POST") << messages << QByteArray(R"({"to":"all","message":"hi"})") << 400
            << "\"message\"";
        QTest::newRow("messages with a number")
            << QByteArray("POST") << messages << QByteArray(R"({"to":"all","messages":[{},3]})")
            << 400 << "[1]";
        QTest::newRow("too large")
            << QByteArray("POST") << messages << QByteArray(2 * 1024 * 1024, 'x') << 413 << "";
        QTest::newRow("raw empty")
            << QByteArray("POST") << "/admin/next" << QByteArray(" \n") << 400 << "empty body";
        QTest::newRow("raw status a word")
            << QByteArray("POST") << "/admin/next?status=ok" << QByteArray("{}") << 400 << "status";
        QTest::newRow("raw status 99")
            << QByteArray("POST") << "/admin/next?status=99" << QByteArray("{}") << 400 << "status";
        QTest::newRow("unknown path")
            << QByteArray("GET") << "/admin/nothing" << QByteArray() << 404 << "/admin/nothing";
        QTest::newRow("wrong method") << QByteArray("GET") << messages << QByteArray() << 404 << "";
    }
    void badAdminInput()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const Answer a = request(method, path, body);
        QCOMPARE(a.status, status);
        if (status == 400) {
            QCOMPARE(a.body.count('\n'), 1); // one line
        }
        QVERIFY2(QString::fromUtf8(a.body).contains(reason), a.body.constData());
        // Nothing was queued, and the service still answers.
        const QJsonObject queues = get("/admin/queues").json();
        QCOMPARE(queues.value("all").toInt(), 0);
        QCOMPARE(queues.value("next").toInt(), 0);
    }

    // The worker against the real service: a "customize" host's queue fills.
    void workerEndToEnd()
    {
        baseUrl.set(root + "/push");
        clientPool.addClient(new Client(
            QStringLiteral(R"({"pid":"1","mac":"00-1A","product":"P","handle":"customize"})")));
        post("/admin/messages",
             R"({"to":{"mac":"00-1A","product":"P"},"message":{"uuid":"m1","title":"T"}})");
        PollingWorker worker;
        worker.doWork(); // 800 with 1, then the fetch and 801
        QStringList queued;
        QTRY_VERIFY(clientPool.withClient(QStringLiteral("1"), [&](Client* c) {
            queued.clear();
            for (Message* m : qAsConst(c->messages)) {
                queued << m->uuid + ":" + m->title;
            }
        }) && !queued.isEmpty());
        QCOMPARE(queued, QStringList{"m1:T"});
    }
};

// Options and start-up files: bad ones end the service with code 2 and a
// one-line reason, without listening.
class TestPushDevOptions : public QObject
{
    Q_OBJECT

private slots:
    void startOptions_data()
    {
        QTest::addColumn<QString>("file"); // written to a temporary file, "" for none
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::newRow("listen without port")
            << "" << QStringList{"--listen", "127.0.0.1"} << 2 << "HOST:PORT";
        QTest::newRow("listen bad port")
            << "" << QStringList{"--listen", "127.0.0.1:99999"} << 2 << "HOST:PORT";
        QTest::newRow("unknown option") << "" << QStringList{"--verbose"} << 2 << "unknown";
        QTest::newRow("missing file")
            << "" << QStringList{"--messages", "/nonexistent/m.json"} << 2 << "cannot read";
        QTest::newRow("file not JSON")
            << "[{" << QStringList{"--messages", "FILE"} << 2 << "not JSON";
        QTest::newRow("file entry bad") << R"([{"to":"all","message":{}},{"to":"x"}])"
                                        << QStringList{"--messages", "FILE"} << 2 << "entry 1";
    }
    void startOptions()
    {
        QFETCH(QString, file);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath("m.json");
        if (!file.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(file.toUtf8());
        }
        args.replaceInStrings(QStringLiteral("FILE"), path);
        QProcess p;
        p.start(QStringLiteral(ZAV_PUSH_DEV), args);
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), code);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(QString::fromUtf8(err).contains(reason), err.constData());
    }

    void sampleFileLoads()
    {
        QProcess p;
        p.start(QStringLiteral(ZAV_PUSH_DEV),
                {"--listen", "127.0.0.1:0", "--messages", QStringLiteral(ZAV_SAMPLE_MESSAGES)});
        QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 10000);
        QVERIFY(p.readLine().contains("listening on"));
        p.terminate();
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    installMessagePattern();
    TestPushDev service;
    TestPushDevOptions options;
    return QTest::qExec(&service, argc, argv) | QTest::qExec(&options, argc, argv);
}

#include "tst_pushdev.moc"
