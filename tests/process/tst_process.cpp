// The process watch: which clients a check drops, how running processes are
// listed and told apart, and the watch thread's timing and end.
#include "core/clientpool.h"
#include "core/processstamp.h"
#include "logcapture.h"
#include "platform/zavplatform.h"
#include "process/processchecker.h"
#include "process/processcontroller.h"
#include "process/processlist.h"

#include <QtTest>

using L = QStringList;

class TestProcess : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { clientPool.clear(); } // a failed row leaves nobody behind

    void check_data()
    {
        QTest::addColumn<QStringList>("pooled");
        QTest::addColumn<QStringList>("running");
        QTest::addColumn<QStringList>("kept");
        const auto row = [](const char* name, const L& pooled, const L& running, const L& kept) {
            QTest::newRow(name) << pooled << running << kept;
        };
        row("host runs", {"1"}, {"1", "2"}, {"1"});
        row("last host ended", {"5"}, {"1"}, {});
        row("one of two ended", {"1", "5"}, {"1"}, {"1"});
        row("listing failed", {"5"}, {}, {"5"});
        row("pids compared as text", {"0", "007", " 7", "7", ""}, {"7"}, {"7"});
        row("empty pool", {}, {"1"}, {});
    }

    void check()
    {
        QFETCH(QStringList, pooled);
        QFETCH(QStringList, running);
        QFETCH(QStringList, kept);
        for (const QString& pid : pooled) {
            clientPool.addClient(new Client(QStringLiteral(R"({"pid":"%1"})").arg(pid)));
        }
        ProcessChecker checker;
        checker.setProcessLister([&running] { return running; });
        QSignalSpy exit(&checker, &ProcessChecker::onExit);
        LogCapture log;
        QMetaObject::invokeMethod(&checker, "doWork");
        QCOMPARE(clientPool.getPids(), kept);
        QCOMPARE(exit.size(), kept.isEmpty() ? 1 : 0); // nobody left: the agent ends
        QCOMPARE(log.count("remove process , pid="),
                 running.isEmpty() ? 0 : pooled.size() - kept.size());
    }

    void listing()
    {
        const QString self = QString::number(QCoreApplication::applicationPid());
        const QList<QString> ids = listProcessIds();
        QVERIFY(ids.contains(self));
        QVERIFY(!ids.contains("0"));
        QCOMPARE(readProcessStamp(self).state, ProcessStamp::Running);
        QVERIFY(readProcessStamp(self).startTime > 0);

        QTemporaryDir proc;
        for (const char* name : {"12", "0", "007", "abc", "99999999999999999999999"}) {
            QDir(proc.path()).mkdir(QString::fromLatin1(name));
        }
        QList<QString> listed = listProcessIdsIn(proc.path());
        std::sort(listed.begin(), listed.end());
        QCOMPARE(listed, QList<QString>({"12", "7"}));
        LogCapture log;
        QVERIFY(listProcessIdsIn(proc.path() + "/missing").isEmpty());
        QCOMPARE(log.count("invoke enum processes error."), 1);
    }

    void stamps_data()
    {
        QTest::addColumn<QByteArray>("stat"); // of process 4242; empty: none
        QTest::addColumn<int>("state");
        QTest::addColumn<quint64>("start");
        // Fields 21 (0 since Linux 2.6.17) and 22 (the start time) and the rest.
        const QByteArray tail = " 0 987654 3133440 389 18446744073709551615 93867494461440 0 "
                                "0 0 0 0 0 0 0 17 0 0 0 0 0 0\n";
        const QByteArray fields = " 4242 15934 0 -1 4194304 100 0 0 0 0 0 0 0 20 0 1" + tail;
        QTest::newRow("running") << "4242 (host) S 1" + fields << int(ZAV_PROCESS_RUNNING)
                                 << quint64(987654);
        QTest::newRow("name with blanks and parentheses")
            << "4242 (a) R (b) c) R 1" + fields << int(ZAV_PROCESS_RUNNING) << quint64(987654);
        QTest::newRow("zombie") << "4242 (host) Z 1" + fields << int(ZAV_PROCESS_ZOMBIE)
                                << quint64(987654);
        QTest::newRow("cut before the start time")
            << "4242 (host) S 1" + fields.left(fields.indexOf(tail)) << int(ZAV_PROCESS_UNKNOWN)
            << quint64(0);
        QTest::newRow("no such process") << QByteArray() << int(ZAV_PROCESS_GONE) << quint64(0);
    }

    // A pid is handed on once its process has ended: the start time tells
    // the host that registered from a later process on its pid.
    void stamps()
    {
        QFETCH(QByteArray, stat);
        QTemporaryDir proc;
        if (!stat.isEmpty()) {
            QVERIFY(QDir(proc.path()).mkdir("4242"));
            QFile file(proc.filePath("4242/stat"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(stat) == stat.size());
        }
        const zav_stamp stamp = zav_read_stamp_in(QFile::encodeName(proc.path()).constData(), 4242);
        QTEST(int(stamp.state), "state");
        QTEST(quint64(stamp.start_time), "start");
    }

    void watchThread()
    {
        {
            ProcessController controller; // the agent's first check comes 120 s after start-up
            // (a coarse timer: within 5 %)
            QTRY_VERIFY(controller.remainingTime() > 110000);
            QVERIFY(controller.remainingTime() < 126000);
        }
        // With nobody pooled, the first check ends the watch and asks for the quit.
        ProcessController controller(nullptr, 50);
        QSignalSpy exit(&controller, &ProcessController::onExit);
        QVERIFY(exit.wait(5000));
        QCOMPARE(controller.remainingTime(), -1);
        controller.exit();
        QCOMPARE(exit.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"