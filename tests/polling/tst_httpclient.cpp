// The HTTP client: one answer per request, each with its own context, and
// contexts owned by the request deleted when it ends.
#include "fakeservice.h"

#include "core/httpclient.h"

#include <QSignalSpy>
#include <QtTest>

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("completes");
        QTest::newRow("ok") << 200 << QByteArray(R"({"code":800})") << true;
        QTest::newRow("empty body") << 200 << QByteArray() << true;
        QTest::newRow("utf-8") << 200 << QByteArray("\xe5\xbc\xa0") << true;
        QTest::newRow("bad utf-8") << 200 << QByteArray("a\xff") << true;
        QTest::newRow("not found") << 404 << QByteArray("x") << false;
        QTest::newRow("server error") << 503 << QByteArray("x") << false;
    }
    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, completes);
        FakeService service;
        service.queue(body, status);
        HttpClient client(nullptr);
        QSignalSpy complete(&client, qOverload<QString, QObject*>(&HttpClient::onComplete));
        QSignalSpy shortForm(&client, SIGNAL(onComplete(QString)));
        QSignalSpy error(&client, &HttpClient::onError);
        QObject context;
        client.get(service.baseUrl() + "/x", &context);
        QTRY_COMPARE(complete.size() + error.size(), 1);
        if (completes) {
            QCOMPARE(complete.at(0).at(0).toString(), QString::fromUtf8(body));
            QCOMPARE(complete.at(0).at(1).value<QObject*>(), &context);
            QCOMPARE(shortForm.size(), 1);
        } else {
            QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("error"));
            QCOMPARE(complete.size(), 0);
        }
    }

    void nullContext()
    {
        FakeService service;
        HttpClient client(nullptr);
        QSignalSpy complete(&client, qOverload<QString, QObject*>(&HttpClient::onComplete));
        client.get(service.baseUrl() + "/x");
        QTRY_COMPARE(complete.size(), 1);
        QCOMPARE(complete.at(0).at(1).value<QObject*>(), nullptr);
    }

    // Answers come in the order they arrive, each with its own context.
    void contextsFollowTheirAnswers()
    {
        FakeService service;
        service.responder = [](const QString& target) {
            FakeAnswer a;
            a.hold = target.endsWith(QLatin1String("slow"));
            a.body = target.toUtf8();
            return a;
        };
        HttpClient client(nullptr);
        QSignalSpy complete(&client, qOverload<QString, QObject*>(&HttpClient::onComplete));
        QObject slow;
        QObject fast;
        client.get(service.baseUrl() + "/slow", &slow);
        QTRY_COMPARE(service.held.size(), 1);
        client.get(service.baseUrl() + "/fast", &fast);
        QTRY_COMPARE(complete.size(), 1);
        service.release("late");
        QTRY_COMPARE(complete.size(), 2);
        QCOMPARE(complete.at(0).at(1).value<QObject*>(), &fast);
        QCOMPARE(complete.at(1).at(1).value<QObject*>(), &slow);
        QCOMPARE(complete.at(1).at(0).toString(), QStringLiteral("late"));
    }

    // A context parented to the client belongs to the request: it is deleted
    // after the answer, after a failure, and with the client when abandoned.
    void ownedContexts_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("abandon");
        QTest::newRow("answered") << 200 << false;
        QTest::newRow("failed") << 500 << false;
        QTest::newRow("abandoned") << 200 << true;
    }
    void ownedContexts()
    {
        QFETCH(int, status);
        QFETCH(bool, abandon);
        FakeService service;
        service.fallback.status = status;
        service.fallback.hold = abandon;
        auto* client = new HttpClient(nullptr);
        QPointer<QObject> owned = new QObject(client);
        QObject foreign;
        client->get(service.baseUrl() + "/a", owned);
        client->get(service.baseUrl() + "/b", &foreign);
        if (abandon) {
            QTRY_COMPARE(service.held.size(), 2);
            delete client;
            QVERIFY(owned.isNull());
            return;
        }
        QTRY_VERIFY(owned.isNull());
        delete client;
    }
};

QTEST_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
