// The agent as its hosts see it: a real process that starts once, takes later
// copies' hosts, polls for them, survives its own crash, ends with its last
// host, and shows popups on a real X display.
#include "agent.h"
#include "fakepush.h"
#include "xsession.h"

#include <QtTest>

class TestAgent : public QObject
{
    Q_OBJECT

private slots:
    void missingOptions_data();
    void missingOptions();
    void wholeLife();
    void recoversFromACrash();
    void liveAgentKeepsItsPipe();
    void popupOnX();
};

void TestAgent::missingOptions_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("none") << QStringList{};
    QTest::newRow("no mac") << QStringList{"-pid", "1", "-product", "P"};
    QTest::newRow("empty pid") << QStringList{"-pid", "", "-product", "P", "-mac", "M"};
}

void TestAgent::missingOptions()
{
    QFETCH(QStringList, args);
    RuntimeDir dir;
    QProcess agent;
    agent.start(qEnvironmentVariable("ZAV_TEST_AGENT"), args);
    QVERIFY(agent.waitForFinished(10000));
    QCOMPARE(agent.exitCode(), 255);
    QVERIFY(!QFile::exists(pipePath()));
}

// Started by host A, joined by a copy for host B; the service's messages for
// A are queued; B's end drops B, A's end ends the agent.
void TestAgent::wholeLife()
{
    RuntimeDir dir;
    Host a, b;
    FakePush service(FakePush::testPort());
    QVERIFY(service.server.isListening());
    service.answer = [&a](const QString& target) -> QByteArray {
        if (!target.contains("mac=M&product=T") || !target.contains(a.pid())) {
            return R"({"code":800,"data":0})";
        }
        return target.contains("/detect?") ? R"({"code":800,"data":1})"
                                           : R"({"code":801,"data":[{"title":"x"},{"title":"y"}]})";
    };
    AgentProcess agent(dir);
    QVERIFY(agent.startAnswering(a.pid(), {"-handle", "customize", "-uid", a.pid()}));
    QTRY_COMPARE_WITH_TIMEOUT(ask("MessageCount:" + a.pid().toUtf8()), QByteArray("2"), 10000);
    const QByteArray queued = ask("GetMessage:" + a.pid().toUtf8());
    QVERIFY(queued.indexOf(R"("title":"x")") < queued.indexOf(R"("title":"y")"));
    QCOMPARE(ask("GetMessage:" + a.pid().toUtf8()), QByteArray("[]"));

    AgentProcess copy(dir);
    copy.start(b.pid());
    QVERIFY(copy.process.waitForFinished(10000));
    QCOMPARE(copy.process.exitCode(), 0);
    QVERIFY(copy.log().contains("the instance is about to exit as it already started."));
    QCOMPARE(ask("GetMessage:" + b.pid().toUtf8()), QByteArray("[]")); // known, empty

    b.end();
    QVERIFY(agent.logged(QStringLiteral("remove process , pid= \"%1\"").arg(b.pid())));
    QCOMPARE(ask("GetMessage:" + b.pid().toUtf8()), QByteArray("0"));
    a.end();
    QVERIFY(agent.process.waitForFinished(10000));
    QCOMPARE(agent.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.process.exitCode(), 0);
    QVERIFY(!QFile::exists(pipePath()));
}

// An agent killed outright leaves its socket; the next one takes over, and a
// termination signal ends it in order.
void TestAgent::recoversFromACrash()
{
    RuntimeDir dir;
    Host host;
    AgentProcess first(dir);
    QVERIFY(first.startAnswering(host.pid()));
    first.process.kill();
    first.process.waitForFinished();
    QVERIFY(QFile::exists(pipePath()));
    AgentProcess second(dir);
    QVERIFY(second.startAnswering(host.pid()));
    QCOMPARE(second.terminate(), 0);
}

// A live agent that cannot accept for a while (its backlog full) is still the
// agent: a new copy must not take its socket, and hands its host over.
void TestAgent::liveAgentKeepsItsPipe()
{
    RuntimeDir dir;
    Host a, b;
    AgentProcess agent(dir);
    QVERIFY(agent.startAnswering(a.pid()));
    ::kill(pid_t(agent.process.processId()), SIGSTOP);
    QVERIFY(AgentProcess::waitFor([&] { return agent.state() == 'T'; }, 5000));
    std::vector<std::unique_ptr<QLocalSocket>> waiting; // until the backlog is full
    do {
        waiting.push_back(std::make_unique<QLocalSocket>());
        waiting.back()->connectToServer(pipePath());
    } while (waiting.back()->state() == QLocalSocket::ConnectedState && waiting.size() < 1000);
    AgentProcess copy(dir);
    copy.start(b.pid());
    copy.process.waitForFinished(3000); // its probe fails meanwhile
    ::kill(pid_t(agent.process.processId()), SIGCONT);
    waiting.clear();
    QVERIFY(copy.process.state() == QProcess::NotRunning || copy.process.waitForFinished(15000));
    QCOMPARE(copy.process.exitCode(), 0);
    QVERIFY(
        AgentProcess::waitFor([&] { return ask("GetMessage:" + b.pid().toUtf8()) == "[]"; }, 5000));
    QCOMPARE(agent.process.state(), QProcess::Running);
}

void TestAgent::popupOnX()
{
    if (!XSession::available()) {
        QSKIP("needs Xvfb and xdotool");
    }
    XSession x;
    QVERIFY(x.start());
    RuntimeDir dir;
    Host host;
    AgentProcess agent(dir);
    QProcessEnvironment env = x.environment();
    env.insert("XDG_RUNTIME_DIR", qEnvironmentVariable("XDG_RUNTIME_DIR"));
    agent.process.setProcessEnvironment(env);
    QVERIFY(agent.startAnswering(host.pid()));
    QCOMPARE(ask(R"(PopupMessage:{"title":"T","summary":"S"})"), QByteArray("OK"));
    const QString window = x.run(
        "xdotool", {"search", "--sync", "--onlyvisible", "--classname", "zav-msg-agent-test"});
    QVERIFY(!window.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(
        x.run("xdotool", {"getwindowgeometry", window}).contains("Position: 970,814"), 5000);
    QCOMPARE(agent.terminate(), 0);
}

QTEST_GUILESS_MAIN(TestAgent)
#include "tst_agent.moc"
