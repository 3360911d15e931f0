// The polling controller: its thread and timer, the interval the service asks
// for, and stopping with a request in flight.
#include "fakeservice.h"

#include "core/clientpool.h"
#include "core/globals.h"
#include "app/logging.h"
#include "polling/pollingcontroller.h"

#include <QtTest>

namespace {

void addClient()
{
    clientPool.addClient(
        new Client(QStringLiteral(R"({"pid":"1","mac":"M","product":"P","handle":"customize"})")));
}

} // namespace

class TestPollingController : public QObject
{
    Q_OBJECT

    QString initialBaseUrl;

private slots:
    void initTestCase()
    {
        installMessagePattern();
        initialBaseUrl = baseUrl.get();
    }
    void cleanup()
    {
        clientPool.clear();
        baseUrl.set(initialBaseUrl);
        pollInterval = 60;
    }

    // The product's default: the timer runs in the polling thread with 60 s,
    // so no request goes out right after start-up.
    void defaultsToSixtySeconds()
    {
        QCOMPARE(pollInterval, 60);
        PollingController controller;
        QTRY_COMPARE(controller.timerInterval(), 60000);
        controller.stop();
        QCOMPARE(controller.timerInterval(), -1);
    }

    void ticksDriveTheWorker()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        addClient();
        PollingController controller(nullptr, 20);
        QTRY_VERIFY(service.requests.size() >= 3);
        QVERIFY(
            service.requests.first().startsWith(QLatin1String("/push/channel/polling/detect?")));
    }

    // Code 902 reaches the controller, is clamped, stored and applied to the
    // running timer inside the polling thread, which then ticks at once at
    // the new pace.
    void serviceChangesInterval_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("seconds");
        QTest::newRow("30") << QByteArray("30") << 30;
        QTest::newRow("0") << QByteArray("0") << 1;
        QTest::newRow("-5") << QByteArray("-5") << 1;
        QTest::newRow("above four hours") << QByteArray("20000") << 14400;
        QTest::newRow("four hours") << QByteArray("\"14400\"") << 14400;
    }
    void serviceChangesInterval()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, seconds);
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.queue(R"({"code":902,"data":)" + data + "}");
        addClient();
        LogCapture capture;
        // A first interval far longer than the test: only the change can
        // make it tick again.
        PollingController controller(nullptr, 30);
        QTRY_COMPARE(pollInterval, seconds);
        QTRY_COMPARE(controller.timerInterval(), seconds * 1000);
        if (seconds == 1) {
            const int before = service.requests.size();
            QTRY_VERIFY_WITH_TIMEOUT(service.requests.size() > before, 3000);
        }
        QVERIFY(!capture.mentions(QStringLiteral("another thread")));
    }

    void laterChangeWins()
    {
        PollingController controller;
        QMetaObject::invokeMethod(&controller, "changeInterval", Q_ARG(int, 30));
        QMetaObject::invokeMethod(&controller, "changeInterval", Q_ARG(int, 45));
        QCOMPARE(pollInterval, 45);
        QTRY_COMPARE(controller.timerInterval(), 45000);
    }

    void changeAfterStopIsIgnored()
    {
        PollingController controller;
        controller.stop();
        QMetaObject::invokeMethod(&controller, "changeInterval", Q_ARG(int, 30));
        QCOMPARE(pollInterval, 60);
    }

    // stop() returns once the thread has ended; the request in flight is
    // abandoned and its late answer goes nowhere.
    void stopWithRequestInFlight()
    {
        FakeService service;
        baseUrl.set(service.baseUrl());
        service.fallback.hold = true;
        addClient();
        LogCapture capture;
        PollingController controller(nullptr, 20);
        QTRY_VERIFY(!service.held.isEmpty());
        controller.stop();
        QTRY_VERIFY(service.held.first().isNull()); // connection closed by the agent side
        service.release(R"({"code":901,"data":"F"})");
        QVERIFY(!capture.mentions(QStringLiteral("receive:")));
        clientPool.withClient(QStringLiteral("1"),
                              [](Client* c) { QVERIFY(c->fingerprint.isEmpty()); });
    }
};

QTEST_MAIN(TestPollingController)
#include "tst_pollingcontroller.moc"
