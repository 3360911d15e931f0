// Polling: what the push service's answers mean, the query that describes a
// client, the worker's requests and deliveries, and the controller's interval.
#include "core/clientpool.h"
#include "core/globals.h"
#include "fakepush.h"
#include "logcapture.h"
#include "message/message.h"
#include "polling/pollingcontroller.h"
#include "polling/pollingworker.h"
#include "polling/pushanswer.h"

#include <QtTest>

Q_DECLARE_METATYPE(PushAnswer::Action)

class TestPolling : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { clientPool.clear(); }

    void answers_data()
    {
        QTest::addColumn<QString>("body");
        QTest::addColumn<PushAnswer::Action>("action");
        QTest::addColumn<QString>("detail"); // code, seconds or text, or the messages written
        using A = PushAnswer;
        QTest::newRow("not JSON") << "<html>" << A::NotJson << "0";
        QTest::newRow("800, none waits") << R"({"code":800,"data":0})" << A::Nothing << "800";
        QTest::newRow("800, data missing") << R"({"code":800})" << A::Nothing << "800";
        QTest::newRow("800 as strings")
            << R"({"code":"800","data":"2"})" << A::FetchMessages << "800";
        QTest::newRow("801")
            << R"({"code":801,"data":[{"uuid":"m1","messageForm":"Url","title":"T",)"
               R"("summary":"S","url":"U","authorName":"A","settings":{"w":2,"p":"r"},)"
               R"("actions":[{"id":1,"action":"Open","url":"U2"}]}]})"
            << A::DeliverMessages
            << R"([{"actions":[{"action":"Open","id":"1","url":"U2"}],"authorName":"A",)"
               R"("messageForm":"Url","settings":[{"key":"p","value":"r"},{"key":"w",)"
               R"("value":"2"}],"summary":"S","title":"T","url":"U","uuid":"m1"}])";
        QTest::newRow("801, odd elements")
            << R"({"code":801,"data":[5,{"title":true,"settings":[1],"actions":{"a":1}}]})"
            << A::DeliverMessages
            << R"([{"actions":[],"authorName":"","messageForm":"","settings":[],"summary":"","title":"",)"
               R"("url":"","uuid":""},{"actions":[],"authorName":"","messageForm":"","settings":[],)"
               R"("summary":"","title":"true","url":"","uuid":""}])";
        QTest::newRow("801, no list") << R"({"code":801,"data":{}})" << A::DeliverMessages << "[]";
        QTest::newRow("901") << R"({"code":901,"data":"F1"})" << A::SetFingerprint << "F1";
        QTest::newRow("902") << R"({"code":902,"data":"30"})" << A::ChangeInterval << "30";
        QTest::newRow("902 past int")
            << R"({"code":902,"data":1e300})" << A::ChangeInterval << "2147483647";
        QTest::newRow("902 past 32 bits")
            << R"({"code":902,"data":"4294967297"})" << A::ChangeInterval << "2147483647";
        QTest::newRow("902 far below")
            << R"({"code":902,"data":-1e300})" << A::ChangeInterval << "-2147483648";
        QTest::newRow("903") << R"({"code":903,"data":"http://h/push"})" << A::ChangeBaseUrl
                             << "http://h/push";
        QTest::newRow("904") << R"({"code":904,"data":"x"})" << A::ClearFingerprint << "904";
        QTest::newRow("905") << R"({"code":905})" << A::UpdateClient << "905";
        QTest::newRow("700") << R"({"code":700,"data":1})" << A::UnknownCode << "700";
        QTest::newRow("no code") << R"({"data":1})" << A::UnknownCode << "0";
        QTest::newRow("top array") << R"([{"code":800}])" << A::UnknownCode << "0";
    }

    void answers()
    {
        QFETCH(QString, body);
        QFETCH(PushAnswer::Action, action);
        QFETCH(QString, detail);
        const PushAnswer answer = readPushAnswer(body);
        QCOMPARE(answer.action, action);
        const QString got = action == PushAnswer::DeliverMessages
                                ? Message::listToJson(answer.messages)
                            : action == PushAnswer::ChangeInterval ? QString::number(answer.seconds)
                            : answer.text.isNull()                 ? QString::number(answer.code)
                                                                   : answer.text;
        QCOMPARE(got, detail);
        qDeleteAll(answer.messages);
    }

    void query_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("query");
        QTest::newRow("all")
            << R"({"uid":"u1","mac":"00-1A-2B","product":"P","productVersion":"2.0",)"
               R"("purchase":"Y","properties":"b=2&a=1"})"
            << QString("userId=u1&mac=00-1A-2B&product=P&version=2.0&purchased=Y&cv=20150910&"
                       "properties=a:1,b:2");
        QTest::newRow("nothing") << "{}" << QString("cv=20150910");
        QTest::newRow("ukey, unescaped") << R"({"ukey":"k&1","properties":"=x"})"
                                         << QString("ukey=k&1&cv=20150910&properties=:x");
    }

    void query()
    {
        QFETCH(QString, client);
        QFETCH(QString, query);
        Client c(client);
        QCOMPARE(buildQuery(&c), query);
    }

    void passThroughPool()
    {
        FakePush service;
        baseUrl.set(service.base());
        LogCapture log;
        PollingWorker worker;
        worker.doWork(); // an empty pool: nothing is sent
        for (const char* pid : {"1", "2", "3"}) {
            clientPool.addClient(
                new Client(QStringLiteral(R"({"pid":"%1","uid":"u%1"})").arg(pid)));
        }
        for (int tick = 0; tick < 5; ++tick) {
            worker.doWork();
            if (tick == 3) {
                clientPool.removeClient("2"); // left during the pass: skipped
            }
        }
        QTRY_COMPARE(service.requests.size(), 5);
        QCOMPARE(log.with("request:")
                     .join(' ')
                     .remove(QRegularExpression("request: [^ ]*userId=|&cv=[^ ]*")),
                 QStringLiteral("u1 u2 u3 u1 u3"));
    }

    void delivery_data()
    {
        QTest::addColumn<QString>("handle");
        QTest::addColumn<QByteArray>("detect");
        QTest::addColumn<QString>("titles"); // shown, then queued after the one queued before
        QTest::addColumn<QString>("line");
        const auto row = [](const char* name, const char* handle, const QByteArray& detect,
                            const char* titles, const char* line = "") {
            QTest::newRow(name) << QString(handle) << detect << QString(titles) << QString(line);
        };
        const QByteArray waiting = R"({"code":800,"data":3})";
        row("auto", "auto", waiting, "a,b|old");
        row("customize", "customize", waiting, "|old,a,b");
        row("other mode", "manual", waiting, "|old", "can not handle message with 'manual'");
        row("none waits", "auto", R"({"code":800,"data":0})", "|old");
        row("unknown code", "auto", R"({"code":700})", "|old", "can not handle message, code=700");
        row("903 to a local file", "auto", R"({"code":903,"data":"file:///tmp/zav-fifo#"})",
            "|old");
    }

    void delivery()
    {
        QFETCH(QString, handle);
        QFETCH(QByteArray, detect);
        QFETCH(QString, titles);
        QFETCH(QString, line);
        FakePush service;
        service.answer = [&](const QString& target) {
            return target.contains("/message?") ? QByteArray(R"({"code":801,"data":[{"title":"a"},)"
                                                             R"({"title":"b"}]})")
                                                : detect;
        };
        baseUrl.set(service.base());
        auto* client = new Client(QStringLiteral(R"({"pid":"1","handle":"%1"})").arg(handle));
        client->messages = {Message::fromJson(R"({"title":"old"})")};
        clientPool.addClient(client);
        LogCapture log;
        PollingWorker worker;
        QSignalSpy messages(&worker, &PollingWorker::onMessage);
        worker.doWork();
        QTRY_VERIFY(log.count("receive:") == (detect.contains("\"data\":3") ? 2 : 1));
        // What the worker sent, whatever the network did with it.
        QCOMPARE(log.with("request:").filter("/message?").size(),
                 detect.contains("\"data\":3") ? 1 : 0);
        QStringList shown, queued;
        for (const QList<QVariant>& m : messages) {
            std::unique_ptr<Message> message(m.first().value<Message*>());
            shown << message->title;
        }
        clientPool.withClient(QStringLiteral("1"), [&](Client* c) {
            for (const Message* m : c->messages) {
                queued << m->title;
            }
        });
        QCOMPARE(shown.join(',') + '|' + queued.join(','), titles);
        QCOMPARE(baseUrl.get(), service.base());
        if (!line.isEmpty()) {
            QCOMPARE(log.count(line), 1);
        }
    }

    void serviceChangesClientAndUrl()
    {
        FakePush service, moved;
        QList<QByteArray> answers{R"({"code":901,"data":"F1"})", R"({"code":902,"data":45})",
                                  R"({"code":904})", R"({"code":905})",
                                  "{\"code\":903,\"data\":\"" + moved.base().toUtf8() + "\"}"};
        service.answer = [&](const QString&) { return answers.takeFirst(); };
        baseUrl.set(service.base());
        clientPool.addClient(new Client(R"({"pid":"1","product":"P"})"));
        LogCapture log;
        PollingWorker worker;
        QSignalSpy interval(&worker, &PollingWorker::onChangeInterval);
        QSignalSpy update(&worker, &PollingWorker::onUpdateClient);
        for (int tick = 1; tick <= 5; ++tick) {
            worker.doWork();
            QTRY_COMPARE(log.count("receive:"), tick);
        }
        QCOMPARE(update.size(), 1);
        QCOMPARE(service.requests.mid(1, 3),
                 QStringList({"/push/channel/polling/detect?fingerprint=F1",
                              "/push/channel/polling/detect?fingerprint=F1",
                              "/push/channel/polling/detect?product=P&cv=20150910"}));
        QCOMPARE(interval.size(), 1);
        QCOMPARE(interval.first().first().toInt(), 45);
        worker.doWork();
        QTRY_COMPARE(moved.requests.size(), 1);
    }

    void interval_data()
    {
        QTest::addColumn<int>("asked");
        QTest::addColumn<int>("ms");
        QTest::newRow("30 s") << 30 << 30000;
        QTest::newRow("0") << 0 << 1000;
        QTest::newRow("negative") << -5 << 1000;
        QTest::newRow("past four hours") << 14401 << 14400000;
    }

    void interval()
    {
        QFETCH(int, asked);
        QFETCH(int, ms);
        pollInterval = 60;
        PollingController controller;
        QTRY_COMPARE(controller.timerInterval(), 60000); // the first poll comes after 60 s
        QMetaObject::invokeMethod(&controller, "changeInterval", Q_ARG(int, asked));
        QTRY_COMPARE(controller.timerInterval(), ms);
        QCOMPARE(pollInterval, ms / 1000);
        controller.stop();
        QCOMPARE(controller.timerInterval(), -1);
    }
};

QTEST_MAIN(TestPolling)
#include "tst_polling.moc"