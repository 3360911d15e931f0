// Page popups of the real agent on a private X server: the page view shows
// the page and follows only the user's links, it is confined, and whatever
// its page does, the agent keeps working.
#include "agent.h"
#include "fakepush.h"
#include "message/limits.h"
#include "xsession.h"

#include <QScreen>

namespace {

const QRgb pageColour = qRgb(10, 200, 30);
/// Points of a centred 310 x 210 popup on 1280 x 1024: in the middle of its
/// page, and near its corner, clear of any text; a point of the strip of one
/// at the top right.
const QPoint inPage(640, 530), pageCorner(500, 600), topRightStrip(1180, 17);

// The test's own windows read the screen of a private X server.
XSession x;
const bool onX = XSession::available() && x.start() &&
                 qputenv("DISPLAY", x.display.toLocal8Bit()) && qputenv("QT_QPA_PLATFORM", "xcb");

QByteArray html(const QByteArray& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n"
           "<html><body style='margin:0;background:rgb(10,200,30)'>" +
           body + "</body></html>";
}

QByteArray popupCommand(const QString& url, const QString& form = QStringLiteral("Url"))
{
    return QStringLiteral(R"(PopupMessage:{"messageFrom":"%1","url":"%2","title":"t",)"
                          R"("settings":[{"key":"position","value":"center"}]})")
        .arg(form, url)
        .toUtf8();
}

QRgb pixel(const QPoint& at)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, at.x(), at.y(), 1, 1)
        .toImage()
        .pixel(0, 0);
}

/// The page view process below pid (the program itself, not its sandbox).
qint64 pageView(qint64 agent)
{
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        QFile cmdline("/proc/" + entry + "/cmdline");
        if (!cmdline.open(QIODevice::ReadOnly) ||
            !cmdline.readAll().split('\0').first().endsWith("/zav-page-view")) {
            continue;
        }
        for (qint64 p = entry.toLongLong(); p > 1;) { // up to the agent?
            QFile stat(QStringLiteral("/proc/%1/stat").arg(p));
            stat.open(QIODevice::ReadOnly);
            const QByteArray text = stat.readAll();
            p = text.mid(text.lastIndexOf(')') + 2).split(' ').value(1).toLongLong();
            if (p == agent) {
                return entry.toLongLong();
            }
        }
    }
    return 0;
}

QString procText(qint64 pid, const QString& file)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(file));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

class TestPageX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!onX) {
            QSKIP("needs Xvfb and xdotool");
        }
        // An xdg-open that records, and a bwrap that cannot make a sandbox.
        QFile stub(bin.filePath("xdg-open")), broken(noSandbox.filePath("bwrap"));
        QVERIFY(stub.open(QIODevice::WriteOnly) && broken.open(QIODevice::WriteOnly));
        stub.write("#!/bin/sh\necho \"$1\" >> " + QFile::encodeName(bin.filePath("opened")) + "\n");
        broken.write(
            "#!/bin/sh\necho 'bwrap: No permissions to create new namespace' >&2\nexit 1\n");
        stub.close();
        broken.close();
        for (QFile* f : {&stub, &broken}) {
            f->setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        QFile secret(home.filePath("secret"));
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("s3cr3t-hush") > 0);
        server.answer = [this](const QString& target) { return page(target); };
    }

    void showAndFollow_data()
    {
        QTest::addColumn<bool>("sandbox");
        QTest::addColumn<QString>("page");
        QTest::newRow("in its sandbox") << true << "/clicks";
        QTest::newRow("a click that opens a window") << true << "/clicks?window";
        QTest::newRow("bwrap fails: as a process of its own") << false << "/clicks";
    }

    // The page shows in the popup; a user's click on a link opens it, the
    // page's script clicking another one many times a second opens nothing.
    void showAndFollow()
    {
        QFETCH(bool, sandbox);
        QFETCH(QString, page);
        QFile::remove(bin.filePath("opened"));
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        start(agent, host, sandbox ? QString() : noSandbox.path());
        QCOMPARE(ask(popupCommand(server.base() + page)), QByteArray("OK"));
        QTRY_VERIFY_WITH_TIMEOUT(pixel(pageCorner) == pageColour, 20000);
        QVERIFY(agent.log().contains(sandbox ? "sandboxed (bwrap)" : "NOT sandboxed"));
        // The first click may come before the page has seen the pointer over the link.
        QTRY_VERIFY_WITH_TIMEOUT(
            (x.run("xdotool", {"mousemove", "640", "530", "click", "1"}), !opened().isEmpty()),
            10000);
        QTRY_VERIFY(agent.log().contains("page link not followed"));
        QCOMPARE(opened().filter("script").size(), 0);
        QCOMPARE(opened().first(), QStringLiteral("https://example.invalid/user"));
        QVERIFY(!procText(agent.process.processId(), "maps").contains("libQt5Web"));
        const QString view = QStringLiteral("/proc/%1").arg(pageView(agent.process.processId()));
        QCOMPARE(agent.terminate(), 0);
        QTRY_VERIFY(!QFileInfo::exists(view)); // it ends with the agent
    }

    void hostile_data()
    {
        QTest::addColumn<QString>("path"); // empty: the page view is killed
        QTest::addColumn<QString>("why");  // a pattern of the agent's debug line
        // A loop stops the answers and keeps a processor busy: whichever is first.
        QTest::newRow("while (true) {}")
            << "/loop"
            << "did not answer for 10 s|\\d+ s of processor time in 20 s";
        QTest::newRow("allocating without end") << "/alloc"
                                                << "of memory \\(at most 512 MB\\)";
        QTest::newRow("page view killed") << ""
                                          << "\\(killed by signal 9";
    }

    // The agent answers at once, shows other popups, says why the page is
    // gone, shows that it could not be shown, and ends on SIGTERM.
    void hostile()
    {
        QFETCH(QString, path);
        QFETCH(QString, why);
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        start(agent, host);
        QCOMPARE(ask(popupCommand(server.base() + (path.isEmpty() ? "/clicks" : path))), "OK");
        QTRY_VERIFY_WITH_TIMEOUT(pageView(agent.process.processId()) > 0, 10000);
        if (path.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(pixel(pageCorner) == pageColour, 20000);
            ::kill(pid_t(pageView(agent.process.processId())), SIGKILL);
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(agent.log().contains("page view started"), 10000);
        }
        QVERIFY(answering(2000));
        QCOMPARE(
            ask(R"(PopupMessage:{"title":"other","settings":[{"key":"position","value":"top right"}]})"),
            "OK");
        QTRY_COMPARE_WITH_TIMEOUT(pixel(topRightStrip), qRgb(0, 170, 255), 5000);
        QVERIFY(answering(2000));
        QTRY_VERIFY_WITH_TIMEOUT(agent.log().contains("page could not be shown: "), 40000);
        QVERIFY2(agent.log().contains(QRegularExpression(why)),
                 qPrintable(agent.log()
                                .split('\n')
                                .filter(QRegularExpression("page (view|could)"))
                                .join('\n')
                                .right(2000)));
        QTRY_COMPARE(pixel(pageCorner), qRgb(255, 255, 255)); // the note, where the page was
        QCOMPARE(agent.terminate(), 0);
    }

    // The page view runs in its sandbox: its own namespaces, the system-call
    // filter and no_new_privs really applied, no home and no pipe in its
    // file system; a page that reaches for a file of the home through every
    // way a page has gets nothing, and what it asks of the user is refused.
    void confined()
    {
        if (QStandardPaths::findExecutable("bwrap").isEmpty()) {
            QSKIP("bwrap is not installed");
        }
        RuntimeDir dir;
        Host host;
        AgentProcess agent(dir);
        start(agent, host);
        QCOMPARE(ask(popupCommand("file://" + home.filePath("secret"))), QByteArray("OK"));
        QTRY_VERIFY(agent.log().contains("page not shown, not an http or https URL"));
        QCOMPARE(ask(popupCommand(server.base() + "/steal")), QByteArray("OK"));
        QTRY_VERIFY_WITH_TIMEOUT(server.requests.filter("/leak?how=done").size() == 1, 20000);
        QVERIFY2(server.requests.filter("s3cr3t").isEmpty(), qPrintable(server.requests.join(' ')));
        QVERIFY(server.requests.filter("/leak?").size() > 5);

        const qint64 view = pageView(agent.process.processId());
        QVERIFY(view > 0);
        const QString status = procText(view, "status");
        QVERIFY(status.contains(QRegularExpression("NoNewPrivs:\\s+1")));
        QVERIFY(status.contains(QRegularExpression("Seccomp:\\s+2")));
        for (const char* ns : {"mnt", "user", "pid", "ipc"}) {
            QVERIFY(QFile::symLinkTarget(QStringLiteral("/proc/%1/ns/%2").arg(view).arg(ns)) !=
                    QFile::symLinkTarget(QStringLiteral("/proc/self/ns/%1").arg(ns)));
        }
        // Limits a page's process cannot lift again: soft and hard alike.
        const QString limits = procText(view, "limits");
        const bool sanitized = agent.log().contains("not limited in a sanitizer build");
        for (const auto& [name, value] :
             {std::pair<QString, qint64>{"Max data size",
                                         sanitized ? 0 : limits::pageMemoryPerProcess},
              {"Max processes", limits::pageTasks}}) {
            const QRegularExpressionMatch m =
                QRegularExpression(name + "\\s+(\\S+)\\s+(\\S+)").match(limits);
            QVERIFY2(m.hasMatch(), qPrintable(limits));
            if (value > 0) {
                QCOMPARE(m.captured(1), QString::number(value));
                QCOMPARE(m.captured(2), QString::number(value));
            }
        }
        const QString root = QStringLiteral("/proc/%1/root").arg(view);
        QVERIFY(QFileInfo::exists(root + "/usr/bin"));
        for (const QString& hidden : {home.filePath("secret"), dir.path("zav_msg_ipc_pipe")}) {
            QVERIFY(QFileInfo::exists(hidden) && !QFileInfo::exists(root + hidden));
        }
        const QString log = agent.log();
        for (const char* refused :
             {"script dialog refused: alert", "script dialog refused: confirm",
              "script dialog refused: prompt", "page window refused", "permission request refused",
              "download refused"}) {
            QVERIFY2(log.contains(refused), refused);
        }
        QCOMPARE(agent.terminate(), 0);
    }

private:
    void start(AgentProcess& agent, Host& host, const QString& firstOnPath = QString())
    {
        QProcessEnvironment env = x.environment();
        const QString path = bin.path() + ":" + env.value("PATH");
        env.insert("PATH", firstOnPath.isEmpty() ? path : firstOnPath + ":" + path);
        env.insert("HOME", home.path());
        env.insert("QT_XCB_GL_INTEGRATION", "none");
        agent.process.setProcessEnvironment(env);
        QVERIFY(agent.startAnswering(host.pid()));
    }

    QStringList opened() const
    {
        QFile f(bin.filePath("opened"));
        return f.open(QIODevice::ReadOnly)
                   ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                   : QStringList();
    }

    QByteArray page(QString target) const
    {
        target.remove(0, 5); // "/push"

        const QByteArray secret = QUrl::fromLocalFile(home.filePath("secret")).toEncoded();
        if (target.startsWith("/clicks")) { // "?window": a click there opens a window
            const QByteArray user = "https://example.invalid/user";
            const bool window = target.endsWith("window");
            return html((window ? "<div onclick=\"window.open('" + user + "')\""
                                : "<a href='" + user + "'") +
                        " style='display:block;height:300px'>a" + (window ? "</div>" : "</a>") +
                        R"(<a id=s href="https://example.invalid/script">s</a><script>)"
                        R"(setInterval(function () { document.getElementById('s').click(); }, 5);)"
                        "</script>");
        }
        if (target == "/loop") {
            return html("<script>while (true) {}</script>");
        }
        if (target == "/alloc") {
            return html(
                "<script>var keep = []; (function more() { for (var i = 0; i < 50; ++i)"
                " keep.push(new Array(1 << 20).fill(i)); setTimeout(more, 0); })();</script>");
        }
        if (target == "/steal") { // each way reports what it read, then the page asks the user
            return html(
                "<script>var s = '" + secret +
                "';"
                "function leak(how, d) { new Image().src = '/leak?how=' + how + '&d=' +"
                " encodeURIComponent(String(d).slice(0, 100)); }"
                "fetch(s).then(r => r.text()).then(t => leak('fetch', t), e => leak('fetch', e));"
                "try { var x = new XMLHttpRequest(); x.open('GET', s, false); x.send();"
                " leak('xhr', x.responseText); } catch (e) { leak('xhr', e); }"
                "var f = document.createElement('iframe'); f.src = s; f.onload = function () {"
                " try { leak('iframe', f.contentDocument.body.innerText); } catch (e) {"
                " leak('iframe', e); } }; document.body.appendChild(f);"
                "var i = new Image(); i.onload = function () { leak('img', 'loaded'); };"
                " i.onerror = function () { leak('img', 'error'); }; i.src = s;"
                "var c = document.createElement('script'); c.onerror = function () {"
                " leak('script', 'error'); }; c.src = s; document.head.appendChild(c);"
                "leak('open', window.open(s)); window.open('/other');"
                "alert('a'); confirm('c'); prompt('p'); navigator.geolocation"
                ".getCurrentPosition(function () {}, function (e) { leak('geo', e.code); });"
                "var d = document.createElement('iframe'); d.src = '/push/attachment';"
                " document.body.appendChild(d);"
                "setTimeout(function () { leak('done', 1); location.href = s; }, 1500);"
                "</script>");
        }
        if (target == "/attachment") {
            return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                   "Content-Disposition: attachment; filename=a.bin\r\nConnection: close\r\n\r\nx";
        }
        return "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n";
    }

    FakePush server;
    QTemporaryDir bin, noSandbox, home;
};

QTEST_MAIN(TestPageX11)
#include "tst_pagex11.moc"
