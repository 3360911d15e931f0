// The agent as its hosts see it: a real process that starts once, takes later
// copies' hosts, polls for them, survives its own crash, ends with its last
// host, and shows popups on a real X display.
#include "agent.h"
#include "app/platform.h"
#include "fakepush.h"
#include "message/limits.h"
#include "popup/messagewindow.h"
#include "xsession.h"

#include <QtTest>

#include <deque>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#ifdef __SANITIZE_ADDRESS__
const int slowdown = 5; ///< for the figures of the issue: an instrumented agent is slower
#else
const int slowdown = 1;
#endif

Q_DECLARE_METATYPE(PopupForm)

/// Runs a program as a host started from ssh, cron or a service: with no display at all.
const QStringList headless{"env",     "-u", "QT_QPA_PLATFORM", "-u",
                           "DISPLAY", "-u", "WAYLAND_DISPLAY"};

class TestAgent : public QObject
{
    Q_OBJECT

private slots:
    void missingOptions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("noDisplay");
        QTest::newRow("none") << QStringList{} << false;
        QTest::newRow("none, no display") << QStringList{} << true;
        QTest::newRow("no mac") << QStringList{"-pid", "1", "-product", "P"} << false;
        QTest::newRow("empty pid")
            << QStringList{"-pid", "", "-product", "P", "-mac", "M"} << false;
    }

    void missingOptions()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, noDisplay);
        RuntimeDir dir;
        QStringList command = noDisplay ? headless : QStringList();
        command << qEnvironmentVariable("ZAV_TEST_AGENT") << args;
        QProcess agent;
        agent.start(command.takeFirst(), command);
        QVERIFY(agent.waitForFinished(10000));
        QCOMPARE(agent.exitCode(), 255);
        QVERIFY(!QFile::exists(pipePath()));
    }

    void oneAgentPerPipe_data()
    {
        QTest::addColumn<int>("copies");
        QTest::addColumn<bool>("noDisplay");
        QTest::newRow("copies started at once") << 12 << false;
        QTest::newRow("no display") << 3 << true;
    }

    // Copies started together leave one agent that knows every copy's host;
    // without a display it runs offscreen and says what it cannot do.
    void oneAgentPerPipe()
    {
        QFETCH(int, copies);
        QFETCH(bool, noDisplay);
        RuntimeDir dir;
        std::deque<Host> hosts(copies);
        std::deque<AgentProcess> agents;
        for (int i = 0; i < copies; ++i) {
            agents.emplace_back(dir);
            if (noDisplay) {
                agents.back().command = headless + agents.back().command;
            }
            agents.back().start(hosts[i].pid());
        }
        const auto running = [&agents] {
            return std::count_if(agents.begin(), agents.end(), [](const AgentProcess& a) {
                return a.process.state() != QProcess::NotRunning;
            });
        };
        QTRY_COMPARE_WITH_TIMEOUT(running(), 1L, 30000);
        int said = 0; // that popups cannot be shown
        for (int i = 0; i < copies; ++i) {
            QCOMPARE(agents[i].process.exitCode(), 0);
            QCOMPARE(ask("GetMessage:" + hosts[i].pid().toUtf8()), QByteArray("[]"));
            said += agents[i].log().contains("popups cannot be shown") ? 1 : 0;
        }
        QCOMPARE(said, noDisplay ? 1 : 0);
        if (noDisplay) { // what it cannot show, it logs with its title
            QCOMPARE(ask(R"(PopupMessage:{"title":"Nowhere to show"})"), QByteArray("OK"));
            QVERIFY(std::find_if(agents.begin(), agents.end(), [](const AgentProcess& a) {
                        return a.process.state() != QProcess::NotRunning;
                    })->logged("popup not shown (no display, no notification service): \"Nowhere"));
        }
    }

    void platformChoice_data()
    {
        QTest::addColumn<QByteArray>("asked"); // QT_QPA_PLATFORM or "-platform"
        QTest::addColumn<QByteArray>("display");
        QTest::addColumn<QByteArray>("wayland");
        QTest::addColumn<bool>("layerShell"); // offered by the compositor
        QTest::addColumn<QString>("cameUp");  // the platform the toolkit runs on
        QTest::addColumn<bool>("service");    // a notification service on the session bus
        QTest::addColumn<QByteArray>("platforms");
        QTest::addColumn<PopupForm>("form");
        const auto row = [](const char* name, QByteArray asked, QByteArray display,
                            QByteArray wayland, bool layerShell, QString cameUp, bool service,
                            QByteArray platforms, PopupForm form) {
            QTest::newRow(name) << asked << display << wayland << layerShell << cameUp << service
                                << platforms << form;
        };
        using F = PopupForm;
        row("X11", "", ":0", "", false, "xcb", true, "xcb;offscreen", F::Windows);
        row("XWayland", "", ":0", "wayland-0", true, "xcb", true, "xcb;offscreen", F::Windows);
        row("X11 that does not open", "", ":9", "", false, "offscreen", false, "xcb;offscreen",
            F::Log);
        row("Wayland, layer shell", "", "", "wayland-0", true, "wayland", true, "wayland;offscreen",
            F::LayerSurfaces);
        row("Wayland, no layer shell", "", "", "wayland-0", false, "offscreen", true, "offscreen",
            F::Notifications);
        row("no display", "", "", "", false, "offscreen", true, "offscreen", F::Notifications);
        row("nothing at all", "", "", "", false, "offscreen", false, "offscreen", F::Log);
        row("asked offscreen", "offscreen", ":0", "", false, "offscreen", true, "offscreen",
            F::Windows);
        row("asked X11, fell back", "xcb", "", "", false, "offscreen", true, "xcb;offscreen",
            F::Notifications);
        row("asked Wayland", "wayland", ":0", "w", true, "wayland", false, "wayland;offscreen",
            F::LayerSurfaces);
        row("asked Wayland, no layer shell", "wayland-egl", "", "w", false, "wayland-egl", false,
            "wayland-egl;offscreen", F::Windows);
    }

    // The session's word picks the platform, with offscreen behind it; what
    // came up and what the session bus offers pick the popups' form.
    void platformChoice()
    {
        QFETCH(QByteArray, asked);
        QFETCH(QByteArray, display);
        QFETCH(QByteArray, wayland);
        QFETCH(bool, layerShell);
        QFETCH(QString, cameUp);
        QFETCH(bool, service);
        const PlatformChoice::Decision d =
            PlatformChoice::decide({asked, display, wayland}, layerShell);
        QTEST(d.platforms, "platforms");
        QTEST(PlatformChoice::formFor(cameUp, asked, d.layerShell, service), "form");
    }

    void hostileConditions_data()
    {
        QTest::addColumn<QString>("condition");
        QTest::newRow("descriptors run out") << "descriptors";
        QTest::newRow("no descriptor left") << "descriptors taken";
        QTest::newRow("stderr never read") << "stderr";
        QTest::newRow("list reader goes away") << "list";
        QTest::newRow("zombie host") << "zombie";
        QTest::newRow("socket file removed") << "removed";
        QTest::newRow("soft descriptor limit") << "soft limit";
        QTest::newRow("58 bytes of table") << "table";
        QTest::newRow("40,000 actions") << "actions";
        QTest::newRow("endless header line") << "endless";
        QTest::newRow("5.6 M empty messages") << "empty messages";
        QTest::newRow("registered again with a queue") << "again";
        QTest::newRow("private directory squatted") << "squatted";
    }

    // Whatever its peers, its host and the messages do, the agent keeps its
    // socket, answers, shows the next popup at once, ends when told and stays
    // small.
    void hostileConditions()
    {
        QFETCH(QString, condition);
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        qint64 rss = 0;
        const auto started = [&](const QStringList& args = {}) {
            const bool answers = agent.startAnswering(host.pid(), args);
            rss = agent.rssKb();
            return answers;
        };
        const QByteArray count = "MessageCount:" + host.pid().toUtf8();
        if (condition.startsWith("descriptors") || condition == "soft limit") {
            const char* limit = condition == "soft limit" ? "-Sn 256" : "-n 200";
            agent.command =
                QStringList{"sh", "-c",
                            QStringLiteral("ulimit %1 && exec \"$0\" \"$@\"").arg(limit)} +
                agent.command;
            QVERIFY(started());
            if (condition == "soft limit") { // raised to the hard limit at start
                QFile limits(QStringLiteral("/proc/%1/limits").arg(agent.process.processId()));
                QVERIFY(limits.open(QIODevice::ReadOnly));
                const QStringList open =
                    QString(limits.readAll())
                        .split('\n')
                        .filter("Max open files")
                        .value(0)
                        .split(' ', Qt::SkipEmptyParts); // soft: 4th, hard: 5th
                QCOMPARE(open.value(3), open.value(4));
                QVERIFY(open.value(3) != "256");
            }
        }
        if (condition.startsWith("descriptors")) {
            const pid_t pid = pid_t(agent.process.processId());
            if (condition == "descriptors taken") { // by the rest of the agent, all but a few
                QVERIFY(
                    agent.logged("onReply")); // once its threads run (polling's has failed once)
                const rlim_t few = QDir(QStringLiteral("/proc/%1/fd").arg(pid)).count() + 8;
                const rlimit limit{few, few};
                QCOMPARE(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
            }
            std::deque<QLocalSocket> flood(300);
            for (QLocalSocket& socket : flood) {
                socket.connectToServer(pipePath());
                socket.waitForConnected(1000);
            }
            QVERIFY(agent.logged(condition == "descriptors" ? "no room for another connection"
                                                            : "no descriptor left for another"));
        } else if (condition == "stderr") {
            const QString fifo = dir.path("stderr");
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            const int reader =
                ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            agent.process.setStandardErrorFile(fifo);
            QVERIFY(started());
            PipePeer peer; // some 500 bytes of debug lines each, none read
            for (int i = 0; i < 2000; ++i) {
                QCOMPARE(peer.ask("Hello"), QByteArray("OK"));
            }
            ::close(reader); // and now nobody ever will
            QCOMPARE(peer.ask("Hello"), QByteArray("OK"));
        } else if (condition == "list") {
            FakePush service(FakePush::testPort());
            QVERIFY2(service.server.isListening(), qPrintable(service.server.errorString()));
            QJsonArray list;
            for (int i = 0; i < limits::maxMessagesPerAnswer; ++i) {
                list.append(QJsonObject{{"uuid", QString::number(i)}});
            }
            QByteArray fetched = QJsonDocument(QJsonObject{{"code", 801}, {"data", list}}).toJson();
            service.answer = [&](const QString& target) -> QByteArray { // the list once only
                return target.contains("/message?")
                           ? std::exchange(fetched, R"({"code":801,"data":[]})")
                           : R"({"code":800,"data":1})";
            };
            QVERIFY(started({"-handle", "customize"}));
            QTRY_COMPARE_WITH_TIMEOUT(ask(count), QByteArray::number(list.size()), 30000);
            QLocalSocket leaving; // takes a first part of the list only
            leaving.connectToServer(pipePath());
            QVERIFY(leaving.waitForConnected(2000));
            leaving.write("GetMessage:" + host.pid().toUtf8());
            QVERIFY(leaving.waitForReadyRead(5000));
            leaving.abort();
            QTRY_COMPARE_WITH_TIMEOUT(ask(count), QByteArray::number(list.size()), 5000);
            const QJsonArray drained =
                QJsonDocument::fromJson(ask("GetMessage:" + host.pid().toUtf8())).array();
            QCOMPARE(drained.size(), list.size());
            QCOMPARE(drained.last().toObject().value("uuid"), list.last().toObject().value("uuid"));
        } else if (condition == "zombie") {
            QVERIFY(started());
            const pid_t zombie = ::fork(); // never reaped until the end
            if (zombie == 0) {
                ::_exit(0);
            }
            const QByteArray pid = QByteArray::number(zombie);
            QCOMPARE(ask(R"(REGISTER:{"pid":")" + pid + R"("})"), QByteArray("OK"));
            QVERIFY(agent.logged("remove process , pid= \"" + pid + '"'));
            ::waitpid(zombie, nullptr, 0);
        } else if (condition == "removed") { // by a clean-up of the runtime directory
            QVERIFY(started());
            QCOMPARE(::unlink(QFile::encodeName(pipePath()).constData()), 0);
            QVERIFY(agent.logged("listening again: done", 15000));
        } else if (condition == "table") {
            QVERIFY(started());
            const QString table = R"(<table cellpadding="100000000"><tr><td>x</td></tr></table>)";
            const QJsonObject message{{"title", table}, {"summary", table}, {"authorName", table}};
            QCOMPARE(ask("PopupMessage:" + QJsonDocument(message).toJson()), QByteArray("OK"));
        } else if (condition == "endless" || condition == "empty messages" ||
                   condition == "again" || condition == "actions") {
            FakePush service(FakePush::testPort());
            QVERIFY2(service.server.isListening(), qPrintable(service.server.errorString()));
            QByteArray messages = R"({"code":801,"data":[{"title":"a"},{"title":"b"},{}]})";
            if (condition == "empty messages") { // 16 MiB
                messages = R"({"code":801,"data":[)" + QByteArray("{},").repeated(5592000) + "{}]}";
            } else if (condition == "actions") { // 120 kB, a whole answer (a pipe has no framing)
                messages = R"({"code":801,"data":[{"title":"many","actions":[)" +
                           QByteArray("{},").repeated(39999) + "{}]}]}";
            }
            service.answer = [&](const QString& target) -> QByteArray {
                if (condition == "endless") { // the interval down to 1 s, then no end
                    return service.requests.size() == 1 ? R"({"code":902,"data":1})"
                                                        : "HTTP/1.1 200 OK\r\nX-Endless: ";
                }
                return target.contains("/message?") // the list once only
                           ? std::exchange(messages, R"({"code":801,"data":[]})")
                           : R"({"code":800,"data":1})";
            };
            service.endless = [&](const QString&) {
                return condition == "endless" && service.requests.size() > 1;
            };
            service.filler = QByteArray(4096, 'x');
            if (condition == "endless") {
                QVERIFY(started());
                QTRY_VERIFY_WITH_TIMEOUT(service.requests.size() >= 3, 15000); // the next tick's
            } else if (condition == "actions") {
                QVERIFY(started());
                QVERIFY(agent.logged(": many"));
                QVERIFY(agent.log().contains(
                    "9992 actions and 0 settings dropped")); // past the list cap
            } else {
                QVERIFY(started({"-handle", "customize"}));
                const int most = condition == "again" ? 3 : limits::maxMessagesPerAnswer;
                QTRY_COMPARE_WITH_TIMEOUT(ask(count), QByteArray::number(most), 30000);
                AgentProcess copy(dir); // the host starts again, as the host guide says
                copy.start(host.pid(), {"-handle", "customize"});
                QVERIFY(copy.process.waitForFinished(10000));
                QCOMPARE(copy.process.exitCode(), 0);
                QCOMPARE(ask(count), QByteArray::number(most));
            }
        } else if (condition == "squatted") { // by another user, before the first start
            QTemporaryDir temp;
            const QString squatted = temp.filePath("zav-msg-" + QString::number(::getuid()));
            QVERIFY(QDir().mkdir(squatted));
            ::chmod(QFile::encodeName(squatted).constData(), 0777);
            QProcessEnvironment env = agent.process.processEnvironment();
            env.remove("XDG_RUNTIME_DIR");
            env.insert("TMPDIR", temp.path());
            env.insert("XDG_CACHE_HOME", temp.path());
            AgentProcess copy(dir);
            for (AgentProcess* a : {&agent, &copy}) {
                a->process.setProcessEnvironment(env);
                a->start(host.pid());
                QVERIFY(a->logged("lock")); // where the lock is, and that there is no pipe
            }
            QVERIFY(copy.process.waitForFinished(5000));
            QCOMPARE(copy.process.exitCode(), 0);
            QVERIFY(agent.log().contains("server : pipe (none) , lock " + temp.path()));
            QCOMPARE(agent.terminate(), 0);
            return;
        }
        QVERIFY(QTest::qWaitFor([] { return ask("Hello") == "OK"; }, 2000));
        QVERIFY(QFile::exists(pipePath()));
        if (condition != "stderr") { // whose debug lines nobody reads
            QCOMPARE(ask(R"(PopupMessage:{"title":"next"})"), QByteArray("OK"));
            QVERIFY(agent.logged("popup shown: " + MessageWindow::defaultSender() + ": next",
                                 1000 * slowdown));
        }
#ifndef __SANITIZE_ADDRESS__ // whose allocator keeps what is freed
        QVERIFY2(agent.rssKb() - rss < 50 * 1024, qPrintable(QString::number(agent.rssKb() - rss)));
#endif
        QCOMPARE(agent.terminate(5000), 0);
    }

    // Started by host A, joined by a copy for host B; the service's messages for
    // A are queued; B's end drops B, A's end ends the agent.
    void wholeLife()
    {
        RuntimeDir dir;
        Host a, b;
        FakePush service(FakePush::testPort());
        QVERIFY2(service.server.isListening(), qPrintable(service.server.errorString()));
        service.answer = [pid = a.pid()](const QString& target) -> QByteArray {
            if (!target.contains("mac=M&product=T") || !target.contains(pid)) {
                return R"({"code":800,"data":0})";
            }
            return target.contains("/detect?")
                       ? R"({"code":800,"data":1})"
                       : R"({"code":801,"data":[{"title":"x"},{"title":"y"}]})";
        };
        AgentProcess agent(dir);
        QVERIFY(agent.startAnswering(a.pid(), {"-handle", "customize", "-uid", a.pid()}));
        QTRY_COMPARE_WITH_TIMEOUT(ask("MessageCount:" + a.pid().toUtf8()), QByteArray("2"), 10000);
        const QByteArray queued = ask("GetMessage:" + a.pid().toUtf8());
        QVERIFY(queued.indexOf(R"("title":"x")") < queued.indexOf(R"("title":"y")"));
        QCOMPARE(ask("GetMessage:" + a.pid().toUtf8()), QByteArray("[]"));

        AgentProcess copy(dir);
        QProcessEnvironment env = copy.process.processEnvironment();
        env.insert("TZ", "Asia/Kolkata"); // half an hour off any whole-hour zone
        copy.process.setProcessEnvironment(env);
        const QDateTime started = QDateTime::currentDateTimeUtc();
        copy.start(b.pid());
        QVERIFY(copy.process.waitForFinished(10000));
        QCOMPARE(copy.process.exitCode(), 0);
        QVERIFY(copy.log().contains("the instance is about to exit as it already started."));
        // Lines begin with the local time of the agent's zone, then file, line, function.
        const QString line = copy.log().section('\n', 0, 0);
        const QTime stamp = QTime::fromString(line.left(13), "hh:mm:ss.zzz ");
        const int off = started.toTimeZone(QTimeZone("Asia/Kolkata")).time().msecsTo(stamp);
        QVERIFY2(off >= 0 && off < 10000 && line.contains(".cpp:"), qPrintable(line));
        QCOMPARE(ask("GetMessage:" + b.pid().toUtf8()), QByteArray("[]")); // known, empty

        const QString gone = b.pid();
        b.end();
        QVERIFY(agent.logged(QStringLiteral("remove process , pid= \"%1\"").arg(gone)));
        QCOMPARE(ask("GetMessage:" + gone.toUtf8()), QByteArray("0"));
        a.end();
        QVERIFY(agent.process.waitForFinished(10000));
        QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(agent.process.exitCode(), 0);
        QVERIFY(!QFile::exists(pipePath()));
    }

    // An agent killed outright leaves its socket: the next one takes over. A live
    // agent that cannot accept for a while (stopped, its backlog full) keeps it: a
    // new copy hands its host over. A termination signal ends the agent in order.
    void pipeOwner()
    {
        RuntimeDir dir;
        Host a, b;
        AgentProcess crashed(dir), agent(dir), copy(dir);
        QVERIFY(crashed.startAnswering(a.pid()));
        crashed.process.kill();
        crashed.process.waitForFinished();
        QVERIFY(QFile::exists(pipePath()));
        QVERIFY(agent.startAnswering(a.pid()));
        ::kill(pid_t(agent.process.processId()), SIGSTOP);
        QTRY_COMPARE_WITH_TIMEOUT(agent.state(), 'T', 5000);
        std::deque<QLocalSocket> waiting; // until the backlog is full
        do {
            waiting.emplace_back().connectToServer(pipePath());
        } while (waiting.back().state() == QLocalSocket::ConnectedState && waiting.size() < 1000);
        copy.start(b.pid());
        copy.process.waitForFinished(3000); // its probe fails meanwhile
        ::kill(pid_t(agent.process.processId()), SIGCONT);
        waiting.clear();
        QVERIFY(copy.process.state() == QProcess::NotRunning ||
                copy.process.waitForFinished(15000));
        QCOMPARE(copy.process.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(ask("GetMessage:" + b.pid().toUtf8()), QByteArray("[]"), 5000);
        QCOMPARE(agent.terminate(), 0);
    }

    void popupOnX_data()
    {
        QTest::addColumn<QString>("glIntegration");
        QTest::newRow("agent's choice") << QString();
        QTest::newRow("the user's") << QStringLiteral("xcb_glx");
    }

    void popupOnX()
    {
        if (!XSession::available()) {
            QSKIP("needs Xvfb and xdotool");
        }
        QFETCH(QString, glIntegration);
        XSession x;
        QVERIFY(x.start());
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        QProcessEnvironment env = x.environment(); // with the runtime directory
        env.insert("QT_XCB_GL_INTEGRATION", glIntegration);
        if (!glIntegration.isEmpty()) {
            // The GL driver the user chose leaks in a library it unloads at
            // exit, where no suppression can name it (sanitizer builds).
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        }
        agent.process.setProcessEnvironment(env);
        QVERIFY(agent.startAnswering(host.pid()));
        QCOMPARE(ask(R"(PopupMessage:{"title":"T","summary":"S"})"), QByteArray("OK"));
        const QString window = x.run(
            "xdotool", {"search", "--sync", "--onlyvisible", "--classname", "zav-msg-agent-test"});
        QVERIFY(!window.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            x.run("xdotool", {"getwindowgeometry", window}).contains("Position: 970,814"), 5000);
        // The popup paints with the CPU: no GL integration (and driver) is
        // loaded for it, unless the user chose one.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(agent.process.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QCOMPARE(maps.readAll().contains("xcbglintegrations"), !glIntegration.isEmpty());
        QCOMPARE(agent.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestAgent)
#include "tst_agent.moc"