// The page view as a hostile peer: a stand-in page view (standin.c) speaks
// the frame protocol and misbehaves as a page view that a page has taken
// over could, and the real agent holds its bounds on a private X server.
#include "agent.h"
#include "message/limits.h"
#include "page/pagewatch.h"
#include "xsession.h"

namespace {

XSession x;
const bool onX = XSession::available() && x.start();

/// A centred 310 x 210 popup on 1280 x 1024: a point of its body, and one
/// far from it.
const QPoint onPopup(640, 560), elsewhere(100, 100);

QByteArray popupCommand(const QString& what, int timeout = 0)
{
    const QString timed =
        timeout > 0 ? QStringLiteral(R"(,{"key":"timeout","value":"%1"})").arg(timeout) : QString();
    return QStringLiteral(R"(PopupMessage:{"messageFrom":"Url","url":"http://127.0.0.1:9/?do=%1",)"
                          R"("title":"t","settings":[{"key":"position","value":"center"}%2]})")
        .arg(what, timed)
        .toUtf8();
}

/// n times value.
template <class T> QList<T> times(int n, const T& value)
{
    return QVector<T>(n, value).toList();
}

/// Processes whose program is path.
QList<qint64> running(const QString& path)
{
    QList<qint64> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        if (QFile::symLinkTarget("/proc/" + entry + "/exe") == path) {
            found << entry.toLongLong();
        }
    }
    return found;
}

} // namespace

class TestPagePeer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The agent beside the stand-in, which it takes for its page view.
        agentCopy = dir.filePath("zav-msg-agent-test");
        standin = dir.filePath("zav-page-view");
        QVERIFY(QFile::copy(qEnvironmentVariable("ZAV_TEST_AGENT"), agentCopy));
        QVERIFY(QFile::copy(ZAV_PAGEVIEW_STANDIN, standin));
        QFile stub(bin.filePath("xdg-open")), broken(noSandbox.filePath("bwrap"));
        QVERIFY(stub.open(QIODevice::WriteOnly) && broken.open(QIODevice::WriteOnly));
        stub.write("#!/bin/sh\necho \"$1\" >> " + QFile::encodeName(bin.filePath("opened")) + "\n");
        broken.write("#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\n"
                     "exit 1\n");
        stub.close();
        broken.close();
        for (QFile* f : {&stub, &broken}) {
            f->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }

    void cpuWindow_data()
    {
        QTest::addColumn<QList<int>>("perSecond"); // processor ms used in each second, repeated
        QTest::addColumn<int>("seconds");          // that long
        QTest::addColumn<int>("endedAt");          // the second it is over budget; -1: never
        QTest::newRow("a whole processor") << QList<int>{1000} << 60 << 10;
        QTest::newRow("two processors") << QList<int>{2000} << 60 << 5;
        QTest::newRow("0.45 of a processor") << QList<int>{450} << 120 << -1;
        QTest::newRow("6 s bursts, 21 s apart")
            << (QList<int>{1000, 1000, 1000, 1000, 1000, 1000} + times(21, 0)) << 120 << -1;
        QTest::newRow("a burst after a minute's rest")
            << (times(60, 0) + times(20, 1000)) << 80 << 70;
    }

    // The watchdog's processor time is what the page view used within the
    // last 20 s, as far back as its samples go: a page view busy for 10 s
    // ends then, one that rests in between never does.
    void cpuWindow()
    {
        QFETCH(QList<int>, perSecond);
        QFETCH(int, seconds);
        QFETCH(int, endedAt);
        pagewatch::CpuWindow window;
        qint64 total = 0;
        int over = -1;
        for (int s = 0; s <= seconds && over < 0; ++s) {
            if (window.add(qint64(s) * 1000, total) >= limits::pageCpuBudgetMs) {
                over = s;
            }
            total += perSecond.at(s % perSecond.size());
        }
        QCOMPARE(over, endedAt);
    }

    void hostile_data()
    {
        QTest::addColumn<QString>("what");   // what the stand-in does (standin.c)
        QTest::addColumn<bool>("sandbox");   // in bwrap, or as a process of its own
        QTest::addColumn<QString>("why");    // in "page could not be shown:"; empty: it runs on
        QTest::addColumn<QString>("logged"); // a pattern the agent's log holds
        QTest::addColumn<int>("watchMs");    // how long it is watched when it runs on
        const QString rate = QStringLiteral("it sent more than %1 frames in a second")
                                 .arg(limits::pageFramesPerSecond);
        const QString many =
            QStringLiteral("it ran more than %1 processes").arg(limits::pageProcesses);
        QTest::newRow("Ready frames without end, reading nothing")
            << "ready-flood" << true << rate << "" << 0;
        QTest::newRow("Hover frames without end") << "hover-flood" << true << rate << "" << 0;
        QTest::newRow("40 processes") << "processes" << true << many << "" << 0;
        QTest::newRow("40 processes, no sandbox") << "processes" << false << many << "" << 0;
        QTest::newRow("short-lived children burning processors, reaped")
            << "cpu-children" << true << "s of processor time in 20 s"
            << "" << 0;
        QTest::newRow("bursts of processor time within the budget") << "cpu-bursts" << true << ""
                                                                    << "" << 45000;
        QTest::newRow("/tmp and /dev/shm written full")
            << "fill" << true << ""
            << QStringLiteral("filled: %1 MiB in /tmp, %2 MiB in /dev/shm")
                   .arg(limits::pageTmpBytes >> 20)
                   .arg(limits::pageShmBytes >> 20)
            << 5000;
        QTest::newRow("links without clicks")
            << "links" << true << ""
            << "page link not opened: the agent saw no click" << 3000;
        QTest::newRow("Loaded and Link frames and debug lines without end")
            << "log-flood" << true << ""
            << "later debug lines of this page view are dropped" << 5000;
    }

    // Whatever the page view does, the agent answers at once, stays within
    // its bounds, opens nothing and writes a bounded log; a page view past a
    // bound is ended, and the popup says that the page could not be shown.
    void hostile()
    {
        QFETCH(QString, what);
        QFETCH(bool, sandbox);
        QFETCH(QString, why);
        QFETCH(QString, logged);
        QFETCH(int, watchMs);
        if (sandbox && QStandardPaths::findExecutable("bwrap").isEmpty()) {
            QSKIP("bwrap is not installed");
        }
        QFile::remove(bin.filePath("opened"));
        RuntimeDir runtime;
        Host host;
        AgentProcess agent(runtime);
        start(agent, host, sandbox);
        QCOMPARE(ask(popupCommand(what)), QByteArray("OK"));
        QVERIFY(agent.logged("page view started", 10000));
        const qint64 rss = agent.rssKb();
        if (why.isEmpty()) {
            QTest::qWait(watchMs);
            QVERIFY2(!agent.log().contains("page could not be shown"),
                     qPrintable(agent.log().right(1000)));
        } else {
            QVERIFY2(agent.logged("page could not be shown: ", 60000),
                     qPrintable(agent.log().right(1000)));
            QVERIFY2(agent.log().contains(why), qPrintable(agent.log().right(1000)));
        }
        if (!logged.isEmpty()) {
            QVERIFY2(agent.logged(logged, 10000), qPrintable(agent.log().right(1000)));
        }
        QVERIFY(answering(2000));
        QVERIFY(opened().isEmpty());
        // A bounded log: the page view's lines and the agent's about it (and
        // about the spare page view that follows a loaded page).
        const int pageLines =
            agent.log().split('\n').filter(QRegularExpression("/page/|page:")).size();
        QVERIFY2(pageLines <= limits::pageLogLines + 10, qPrintable(QString::number(pageLines)));
        qDebug() << "agent grew by" << (agent.rssKb() - rss) / 1024 << "MB";
        QCOMPARE(agent.terminate(), 0);
        QTRY_VERIFY(running(standin).isEmpty());
    }

    void clicks_data()
    {
        QTest::addColumn<QString>("what");         // links: every 150 ms; late-link: one, after 1 s
        QTest::addColumn<QList<QPoint>>("clicks"); // 1.2 s apart
        QTest::addColumn<int>("links");            // opened
        QTest::newRow("none") << "links" << QList<QPoint>{} << 0;
        QTest::newRow("one on the popup") << "links" << QList<QPoint>{onPopup} << 1;
        QTest::newRow("one elsewhere") << "links" << QList<QPoint>{elsewhere} << 0;
        QTest::newRow("seven on the popup")
            << "links" << times(7, onPopup) << limits::pageLinksPerPopup;
        QTest::newRow("one on the popup before the first link")
            << "late-link" << QList<QPoint>{onPopup} << 1;
    }

    // A page view that reports links gets one opened for each click the
    // agent saw on the popup (XInput 2 raw events) shortly before, up to the
    // popup's total, and none without; the agent watches from the moment the
    // popup is there.
    void clicks()
    {
        QFETCH(QString, what);
        QFETCH(QList<QPoint>, clicks);
        QFETCH(int, links);
        QFile::remove(bin.filePath("opened"));
        RuntimeDir runtime;
        Host host;
        AgentProcess agent(runtime);
        start(agent, host, true);
        QCOMPARE(ask(popupCommand(what)), QByteArray("OK"));
        QVERIFY(agent.logged(what == "links" ? "page link not opened: the agent saw no click"
                                             : "page view started",
                             20000));
        for (const QPoint& at : clicks) {
            x.run("xdotool",
                  {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
            QTest::qWait(1200);
        }
        QTest::qWait(1000);
        QCOMPARE(opened().size(), links);
        QCOMPARE(agent.terminate(), 0);
    }

    void scope_data()
    {
        QTest::addColumn<bool>("manager"); // the session's service manager makes scopes
        QTest::newRow("a service manager that makes scopes") << true;
        QTest::newRow("no service manager") << false;
    }

    // Where the session's service manager makes a scope, the page view runs
    // in one whose memory, processor time and tasks the kernel bounds; where
    // it cannot, the log says why and the page view runs all the same.
    void scope()
    {
        QFETCH(bool, manager);
        QTemporaryDir stubs;
        QFile stub(stubs.filePath("systemd-run"));
        const QByteArray record = QFile::encodeName(stubs.filePath("asked"));
        QVERIFY(stub.open(QIODevice::WriteOnly));
        stub.write(manager ? "#!/bin/sh\necho \"$@\" >> " + record +
                                 "\nwhile [ \"$1\" != -- ]; do shift; done\nshift\nexec \"$@\"\n"
                           : "#!/bin/sh\necho 'Failed to connect to bus: No medium found' >&2\n"
                             "exit 1\n");
        stub.close();
        stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        RuntimeDir runtime;
        Host host;
        AgentProcess agent(runtime);
        start(agent, host, true, stubs.path());
        QCOMPARE(ask(popupCommand("good")), QByteArray("OK"));
        QVERIFY(agent.logged(manager ? "in a scope of its own"
                                     : "in no scope of its own (Failed to connect to bus",
                             10000));
        QTRY_COMPARE_WITH_TIMEOUT(running(standin).size(), 1, 10000);
        if (manager) {
            QFile asked(stubs.filePath("asked"));
            QVERIFY(asked.open(QIODevice::ReadOnly));
            const QList<QByteArray> calls = asked.readAll().trimmed().split('\n');
            QCOMPARE(calls.size(), 2); // the probe, then the page view
            for (const QByteArray& option : QList<QByteArray>{
                     QByteArray("--user --scope"),
                     "MemoryMax=" + QByteArray::number(qint64(limits::pageMemoryBytes)),
                     QByteArray("MemorySwapMax=0"),
                     "TasksMax=" + QByteArray::number(limits::pageTasks),
                     "CPUQuota=" + QByteArray::number(limits::pageCpuQuotaPercent) + "%",
                     QByteArray("env -i")}) {
                QVERIFY2(calls.last().contains(option), option.constData());
            }
        }
        QCOMPARE(agent.terminate(), 0);
        QTRY_VERIFY(running(standin).isEmpty());
    }

    void endsEveryProcess_data()
    {
        QTest::addColumn<bool>("sandbox");
        QTest::newRow("in its sandbox") << true;
        QTest::newRow("no sandbox") << false;
    }

    // When its popup closes, the page view goes with every process below it,
    // also one that left its process group.
    void endsEveryProcess()
    {
        QFETCH(bool, sandbox);
        RuntimeDir runtime;
        Host host;
        AgentProcess agent(runtime);
        start(agent, host, sandbox);
        QCOMPARE(ask(popupCommand("tree", 3)), QByteArray("OK"));
        QTRY_COMPARE_WITH_TIMEOUT(running(standin).size(), 3, 10000);
        QVERIFY(agent.logged("page view started"));
        QTRY_VERIFY_WITH_TIMEOUT(running(standin).isEmpty(), 10000);
        QVERIFY(!agent.log().contains("page could not be shown"));
        QCOMPARE(agent.terminate(), 0);
    }

private:
    void start(AgentProcess& agent, Host& host, bool sandbox, const QString& firstOnPath = {})
    {
        QProcessEnvironment env = x.environment();
        env.insert("PATH", (firstOnPath.isEmpty() ? QString() : firstOnPath + ":") +
                               (sandbox ? QString() : noSandbox.path() + ":") + bin.path() + ":" +
                               env.value("PATH"));
        env.insert("QT_XCB_GL_INTEGRATION", "none");
        agent.process.setProcessEnvironment(env);
        agent.command = QStringList{agentCopy};
        QVERIFY(agent.startAnswering(host.pid()));
    }

    QStringList opened() const
    {
        QFile f(bin.filePath("opened"));
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

    QTemporaryDir dir, bin, noSandbox;
    QString agentCopy, standin;
};

QTEST_MAIN(TestPagePeer)
#include "tst_pagepeer.moc"
