// Listing the running processes from the proc file system.
#include "process/processlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

class TestProcessList : public QObject
{
    Q_OBJECT

private slots:
    void startedAndEndedProcesses();
    void everyIdIsPlainDecimal();
    void entries_data();
    void entries();
    void noLimitOnCount();
    void unreadableRoot();
};

void TestProcessList::startedAndEndedProcesses()
{
    std::vector<std::unique_ptr<QProcess>> children;
    QStringList pids;
    for (int i = 0; i < 3; ++i) {
        children.push_back(std::make_unique<QProcess>());
        children.back()->start(QStringLiteral("sleep"), {QStringLiteral("60")});
        QVERIFY(children.back()->waitForStarted());
        pids << QString::number(children.back()->processId());
    }

    QList<QString> alive = listProcessIds();
    QVERIFY(alive.contains(QString::number(QCoreApplication::applicationPid())));
    for (const QString& pid : qAsConst(pids)) {
        QVERIFY2(alive.contains(pid), qPrintable(pid));
    }

    children[1]->kill();
    QVERIFY(children[1]->waitForFinished());
    alive = listProcessIds();
    QVERIFY(!alive.contains(pids[1]));
    QVERIFY(alive.contains(pids[0]));
    QVERIFY(alive.contains(pids[2]));

    for (auto& child : children) {
        child->kill();
        child->waitForFinished();
    }
}

void TestProcessList::everyIdIsPlainDecimal()
{
    const QList<QString> alive = listProcessIds();
    QVERIFY(!alive.isEmpty());
    const QRegularExpression plain(QStringLiteral("^[1-9][0-9]*$"));
    for (const QString& id : alive) {
        QVERIFY2(plain.match(id).hasMatch(), qPrintable(id));
    }
    QCOMPARE(QSet<QString>(alive.begin(), alive.end()).size(), alive.size());
}

// A fake proc root: only all-digit, non-zero names count, written canonically.
void TestProcessList::entries_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("ids"); // sorted

    QTest::newRow("processes among other entries")
        << QStringList{"1", "self", "sys", "4242", "cpuinfo", "31"}
        << QStringList{"1", "31", "4242"};
    QTest::newRow("zero is never an id") << QStringList{"0", "00", "5"} << QStringList{"5"};
    QTest::newRow("leading zeros dropped") << QStringList{"007"} << QStringList{"7"};
    QTest::newRow("signs and mixed names skipped")
        << QStringList{"-3", "+4", "12a", "a12", " 9"} << QStringList{};
    QTest::newRow("too large skipped")
        << QStringList{"18446744073709551615", "18446744073709551616", "99999999999999999999"}
        << QStringList{"18446744073709551615"};
    QTest::newRow("nothing") << QStringList{} << QStringList{};
}

void TestProcessList::entries()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, ids);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    for (const QString& name : qAsConst(names)) {
        QVERIFY(QDir(root.path()).mkdir(name));
    }
    QStringList listed = listProcessIdsIn(root.path());
    listed.sort();
    QCOMPARE(listed, ids);
}

void TestProcessList::noLimitOnCount()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    // More than the 1024 ids that a fixed buffer would hold. Plain files are
    // as good as directories here and much cheaper to make and remove.
    const int count = 1100;
    for (int i = 1; i <= count; ++i) {
        QFile entry(root.filePath(QString::number(i)));
        QVERIFY(entry.open(QIODevice::WriteOnly));
    }
    QCOMPARE(listProcessIdsIn(root.path()).size(), count);
}

void TestProcessList::unreadableRoot()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QTest::ignoreMessage(QtDebugMsg, "invoke enum processes error.");
    QVERIFY(listProcessIdsIn(root.filePath(QStringLiteral("missing"))).isEmpty());
}

QTEST_GUILESS_MAIN(TestProcessList)
#include "tst_processlist.moc"
