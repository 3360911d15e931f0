// The process watch: one check against an injected or the real process list,
// and the controller's stop path.
#include "core/clientpool.h"
#include "process/processchecker.h"
#include "process/processcontroller.h"

#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

void pool(const QStringList& pids)
{
    for (const QString& pid : pids) {
        auto* client = new Client(QString());
        client->pid = pid;
        clientPool.addClient(client);
    }
}

bool runCheck(ProcessChecker& checker)
{
    return QMetaObject::invokeMethod(&checker, "doWork", Qt::DirectConnection);
}

} // namespace

class TestProcessWatch : public QObject
{
    Q_OBJECT

private slots:
    void init() { clientPool.clear(); }
    void cleanup() { clientPool.clear(); }

    void check_data();
    void check();
    void checkWithRunningProcesses();

    void exitStopsWatchOnce();
    void destroyedWhileWatching();
};

void TestProcessWatch::check_data()
{
    QTest::addColumn<QStringList>("pooled");
    QTest::addColumn<QStringList>("alive"); // what the enumeration returns
    QTest::addColumn<int>("checks");
    QTest::addColumn<QStringList>("kept");
    QTest::addColumn<QStringList>("removed"); // expected log lines, in order
    QTest::addColumn<int>("exits");

    const QStringList none;
    QTest::newRow("live client kept") << QStringList{"4242"} << QStringList{"1", "4242", "5000"}
                                      << 1 << QStringList{"4242"} << none << 0;
    QTest::newRow("ended client removed, pool empty")
        << QStringList{"4242"} << QStringList{"1", "5000"} << 1 << none << QStringList{"4242"} << 1;
    QTest::newRow("two clients, first ended")
        << QStringList{"100", "200"} << QStringList{"1", "200"} << 1 << QStringList{"200"}
        << QStringList{"100"} << 0;
    QTest::newRow("two clients, last ended") << QStringList{"100", "200"} << QStringList{"100", "1"}
                                             << 1 << QStringList{"100"} << QStringList{"200"} << 0;
    QTest::newRow("all ended: every one removed, one exit")
        << QStringList{"10", "20", "30"} << QStringList{"1"} << 1 << none
        << QStringList{"10", "20", "30"} << 1;
    QTest::newRow("pid 0 never listed") << QStringList{"0", "7"} << QStringList{"1", "7"} << 1
                                        << QStringList{"7"} << QStringList{"0"} << 0;
    QTest::newRow("leading zeros")
        << QStringList{"007"} << QStringList{"7"} << 1 << none << QStringList{"007"} << 1;
    QTest::newRow("spaces") << QStringList{" 7", "7 ", "8"} << QStringList{"7", "8"} << 1
                            << QStringList{"8"} << QStringList{" 7", "7 "} << 0;
    QTest::newRow("empty pid") << QStringList{""} << QStringList{"7"} << 1 << none
                               << QStringList{""} << 1;
    QTest::newRow("failed enumeration changes nothing")
        << QStringList{"4242", "0"} << none << 3 << QStringList{"4242", "0"} << none << 0;
    QTest::newRow("failed enumeration, empty pool: never quits")
        << none << none << 3 << none << none << 0;
    QTest::newRow("empty pool emits exit") << none << QStringList{"1"} << 1 << none << none << 1;
}

void TestProcessWatch::check()
{
    QFETCH(QStringList, pooled);
    QFETCH(QStringList, alive);
    QFETCH(int, checks);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, removed);
    QFETCH(int, exits);

    pool(pooled);
    ProcessChecker checker;
    int enumerations = 0;
    checker.setProcessLister([&]() {
        ++enumerations;
        return QList<QString>(alive);
    });
    QSignalSpy exitSpy(&checker, &ProcessChecker::onExit);
    for (const QString& pid : qAsConst(removed)) {
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("remove process , pid= \"%1\"").arg(pid)));
    }

    for (int i = 0; i < checks; ++i) {
        QVERIFY(runCheck(checker));
    }

    QCOMPARE(enumerations, checks);
    QCOMPARE(clientPool.getPids(), kept);
    QCOMPARE(exitSpy.count(), exits);
}

// The default enumeration (the real process table) against processes this
// test starts and ends.
void TestProcessWatch::checkWithRunningProcesses()
{
    QProcess live;
    QProcess ended;
    for (QProcess* p : {&live, &ended}) {
        p->start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(p->waitForStarted());
    }
    const QString livePid = QString::number(live.processId());
    const QString endedPid = QString::number(ended.processId());
    ended.kill();
    QVERIFY(ended.waitForFinished()); // reaped: no longer in the table

    pool({livePid, endedPid});
    ProcessChecker checker;
    QSignalSpy exitSpy(&checker, &ProcessChecker::onExit);
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("remove process , pid= \"%1\"").arg(endedPid)));
    QVERIFY(runCheck(checker));
    QCOMPARE(clientPool.getPids(), QStringList{livePid});
    QCOMPARE(exitSpy.count(), 0);

    live.kill();
    QVERIFY(live.waitForFinished());
    QTest::ignoreMessage(QtDebugMsg,
                         qPrintable(QStringLiteral("remove process , pid= \"%1\"").arg(livePid)));
    QVERIFY(runCheck(checker));
    QVERIFY(clientPool.getPids().isEmpty());
    QCOMPARE(exitSpy.count(), 1);
}

void TestProcessWatch::exitStopsWatchOnce()
{
    ProcessController controller;
    QPointer<QThread> thread = controller.findChild<QThread*>();
    QVERIFY(thread);
    QTRY_VERIFY(thread->isRunning());
    QSignalSpy exitSpy(&controller, &ProcessController::onExit);

    controller.exit();
    // The watch thread has ended before onExit is emitted.
    QVERIFY(thread.isNull() || thread->isFinished());
    QCOMPARE(exitSpy.count(), 1);

    controller.exit(); // a late second request
    QCOMPARE(exitSpy.count(), 1);
    QTRY_VERIFY(thread.isNull()); // disposed of once finished
}

// The agent can also quit without the watch asking (a termination signal):
// deleting the controller then must stop its running thread, not abort.
void TestProcessWatch::destroyedWhileWatching()
{
    auto* controller = new ProcessController();
    QThread* thread = controller->findChild<QThread*>();
    QVERIFY(thread);
    QTRY_VERIFY(thread->isRunning());
    QSignalSpy destroyed(thread, &QObject::destroyed);
    delete controller;
    QCOMPARE(destroyed.count(), 1);
}

QTEST_GUILESS_MAIN(TestProcessWatch)
#include "tst_processwatch.moc"
