// zav-msgctl and zav-push-dev run as a user runs them: one table of command
// lines, each with its standard input, exit status and a text expected in
// what the tool printed or in the command that reached a fake agent.

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

class TestTools : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QLocalServer agent; // the fake agent: records each command; "Silent" gets no reply
    QStringList received;
    const QByteArray messages =
        "[{\"title\":\"" + QByteArray(300000, 'T') + "\"}]"; // several reads

    void serve(QLocalSocket* socket)
    {
        const QString command = QString::fromUtf8(socket->readAll());
        received << command;
        const QMap<QString, QByteArray> replies{{"Hello", "OK"},        {"REGISTER", "OK"},
                                                {"PopupMessage", "OK"}, {"MessageCount", "2"},
                                                {"Silent", ""},         {"GetMessage", messages}};
        socket->write(
            command == "MessageCount:odd"
                ? QByteArray("12abc")
                : replies.value(command.section(':', 0, 0), "ERROR: can not hanlde command"));
    }

private slots:
    void initTestCase()
    {
        connect(&agent, &QLocalServer::newConnection, this, [this] {
            QLocalSocket* socket = agent.nextPendingConnection();
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        });
        qRegisterMetaType<QProcess::ExitStatus>();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path())); // for the tools started
        QVERIFY(agent.listen(dir.filePath("zav_msg_ipc_pipe")));
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("line"); // the tool, then its arguments; @ is the temp dir
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* line, const QByteArray& input, int code, const char* text) {
            QTest::newRow(line) << QString(line) << input << code << QString(text);
        };
        row("ctl -V", {}, 0, "zav-msgctl ");
        row("ctl --help", {}, 0, "Exit status:");
        row("ctl --timeout=500 hello", {}, 0, "Hello");
        row("ctl --socket=@/zav_msg_ipc_pipe hello", {}, 0, "OK");
        row("ctl count 42 --timeout 500", {}, 0, "2\n");
        row("ctl popup --title T --summary -", "line 1\nline 2\n", 0,
            R"("summary":"line 1\nline 2","title":"T")");
        row("ctl popup --title=T --page=-", " https://example.com/x\n", 0,
            "\"messageFrom\":\"Url\",\"title\":\"T\",\"url\":\"https://example.com/x\"");
        row("ctl popup --title=T --summary=S --action a1,Open,http://o/?x=1,2 --author Zoe "
            "--setting=width=400",
            {}, 0,
            "[{\"action\":\"Open\",\"id\":\"a1\",\"url\":\"http://o/?x=1,2\"}],\"authorName\":"
            "\"Zoe\",\"settings\":[{\"key\":\"width\",\"value\":\"400\"}]");
        row("ctl register -pid 42 -product P -mac M -purchase 1 -properties b=2&a=1", {}, 0,
            R"(REGISTER:{"handle":"auto","mac":"M","pid":"42","product":"P","productVersion":"",)"
            R"("properties":"a=1&b=2","purchase":"Y","uid":"","ukey":""})");
        row("ctl get 7", {}, 0, "[\n    {\n");
        row("ctl get --raw 7", {}, 0, "TT\"}]"); // whole, though it came in several reads
        row("ctl --socket /nonexistent/s hello", {}, 1, "no agent is listening");
        row("ctl --timeout=200 raw Silent", {}, 3, "did not reply within 200 ms");
        row("ctl raw Bogus", {}, 4, "ERROR: can not hanlde command");
        row("ctl count odd", {}, 5, "the agent replied \"12abc\""); // a count is a number
        for (const char* usageError :
             {"ctl", "ctl bogus", "ctl count", "ctl --verbose hello", "ctl --timeout soon hello",
              "ctl --timeout 0 hello", "ctl --timeout=-1 hello", "ctl popup --title T",
              "ctl popup --title=T --summary=S --action a1,Open",
              "ctl popup --title=T --summary=- --page=-", "ctl register -pid 42 -product P",
              "ctl register -pid 42 -product P -mac", "ctl register -product P -mac M"}) {
            row(usageError, {}, 2, "(see --help)");
        }
        row("ctl popup --title=T --summary=-", QByteArray(65 * 1024, 'x'), 2, "64 KiB");
        row("push -V", {}, 0, "zav-push-dev ");
        row("push --help", {}, 0, "Exit status:");
        row("push --listen=127.0.0.1:0", {}, 0, "listening on http://127.0.0.1:");
        row("push --listen 127.0.0.1:0 --messages " ZAV_SAMPLE_MESSAGES, {}, 0, "listening on");
        row("push --listen 127.0.0.1", {}, 2, "HOST:PORT");
        row("push --messages=/nonexistent/m.json", {}, 2, "cannot read");
        row("push --verbose", {}, 2, "(see --help)");
    }

    void commandLine()
    {
        QFETCH(QString, line);
        QFETCH(QByteArray, input);
        QFETCH(int, code);
        QFETCH(QString, expected);
        QStringList args = line.replace('@', dir.path()).split(' ');
        const QString tool = args.takeFirst() == "ctl" ? ZAV_MSGCTL : ZAV_PUSH_DEV;
        received.clear();
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        QByteArray out;
        connect(&p, &QProcess::readyRead, this, [&p, &out] {
            out += p.readAll();
            if (out.contains("listening on http")) {
                p.terminate(); // the push service runs until SIGTERM
            }
        });
        QSignalSpy done(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
        p.start(tool, args);
        p.write(input);
        p.closeWriteChannel();
        QVERIFY(done.wait(10000)); // runs the fake agent meanwhile
        out += p.readAll();
        QCOMPARE(p.exitCode(), code);
        QVERIFY2((out + received.join('\n').toUtf8()).contains(expected.toUtf8()),
                 out.left(300).constData());
        if (code == 2) {
            QVERIFY(received.isEmpty()); // a usage error sends nothing
            QCOMPARE(out.count('\n'), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestTools)
#include "tst_tools.moc"
