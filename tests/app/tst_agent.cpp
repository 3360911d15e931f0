// The agent as its hosts see it: a real process that starts once, takes later
// copies' hosts, polls for them, survives its own crash, ends with its last
// host, and shows popups on a real X display.
#include "agent.h"
#include "app/platform.h"
#include "fakepush.h"
#include "xsession.h"

#include <QtTest>

#include <deque>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
    }

    // Whatever its peers and its host do, the agent keeps its socket and answers.
    void hostileConditions()
    {
        QFETCH(QString, condition);
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        if (condition.startsWith("descriptors")) {
            agent.command =
                QStringList{"sh", "-c", "ulimit -n 200 && exec \"$0\" \"$@\""} + agent.command;
            QVERIFY(agent.startAnswering(host.pid()));
            const pid_t pid = pid_t(agent.process.processId());
            if (condition == "descriptors taken") { // by the rest of the agent, all but a few
                QVERIFY(agent.logged("onReply"));   // once all its threads run (HTTP's is the last)
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
            QVERIFY(agent.startAnswering(host.pid()));
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
            for (int i = 0; i < 20000; ++i) {
                list.append(QJsonObject{{"uuid", QString::number(i)}});
            }
            QByteArray fetched = QJsonDocument(QJsonObject{{"code", 801}, {"data", list}}).toJson();
            service.answer = [&](const QString& target) -> QByteArray { // the list once only
                return target.contains("/message?")
                           ? std::exchange(fetched, R"({"code":801,"data":[]})")
                           : R"({"code":800,"data":1})";
            };
            QVERIFY(agent.startAnswering(host.pid(), {"-handle", "customize"}));
            const QByteArray count = "MessageCount:" + host.pid().toUtf8();
            QTRY_COMPARE_WITH_TIMEOUT(ask(count), QByteArray("20000"), 30000);
            QLocalSocket leaving; // takes a first part of the list only
            leaving.connectToServer(pipePath());
            QVERIFY(leaving.waitForConnected(2000));
            leaving.write("GetMessage:" + host.pid().toUtf8());
            QVERIFY(leaving.waitForReadyRead(5000));
            leaving.abort();
            QTRY_COMPARE_WITH_TIMEOUT(ask(count), QByteArray("20000"), 5000);
            const QJsonArray drained =
                QJsonDocument::fromJson(ask("GetMessage:" + host.pid().toUtf8())).array();
            QCOMPARE(drained.size(), 20000);
            QCOMPARE(drained.last().toObject().value("uuid"), QJsonValue("19999"));
        } else if (condition == "zombie") {
            QVERIFY(agent.startAnswering(host.pid()));
            const pid_t zombie = ::fork(); // never reaped until the end
            if (zombie == 0) {
                ::_exit(0);
            }
            const QByteArray pid = QByteArray::number(zombie);
            QCOMPARE(ask(R"(REGISTER:{"pid":")" + pid + R"("})"), QByteArray("OK"));
            QVERIFY(agent.logged("remove process , pid= \"" + pid + '"'));
            ::waitpid(zombie, nullptr, 0);
        } else if (condition == "removed") { // by a clean-up of the runtime directory
            QVERIFY(agent.startAnswering(host.pid()));
            QCOMPARE(::unlink(QFile::encodeName(pipePath()).constData()), 0);
            QVERIFY(agent.logged("listening again: done", 15000));
        }
        QVERIFY(answering());
        QVERIFY(QFile::exists(pipePath()));
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