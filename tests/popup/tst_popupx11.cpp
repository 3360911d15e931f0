// Real popups of the running agent on a private X server: placement and size,
// the action button, the close button, a page popup and its links.
#include "loopbackserver.h"
#include "xsession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>

namespace {

QString popupCommand(const QJsonObject& message)
{
    return QStringLiteral("PopupMessage:") +
           QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QJsonObject textMessage(const QMap<QString, QString>& settings, const QJsonArray& actions = {})
{
    QJsonArray list;
    for (auto it = settings.begin(); it != settings.end(); ++it) {
        list.append(QJsonObject{{"key", it.key()}, {"value", it.value()}});
    }
    return QJsonObject{{"title", "标题 Title"},
                       {"summary", "Some <b>text</b>"},
                       {"authorName", "测试"},
                       {"settings", list},
                       {"actions", actions}};
}

} // namespace

class TestPopupX11 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void placedAndSized_data();
    void placedAndSized();
    void actionButtonReportsAndOpens();
    void pageLoadsAndLinkOpens();
    void agentOutlivesItsPopups();

private:
    void closeAll();
    std::unique_ptr<XSession> x;
};

void TestPopupX11::initTestCase()
{
    if (!XSession::available()) {
        QSKIP("Xvfb or xdotool is not installed");
    }
    const QString agent = qEnvironmentVariable("ZAV_AGENT");
    QVERIFY2(!agent.isEmpty(), "ZAV_AGENT must name the agent executable");
    x = std::make_unique<XSession>();
    QVERIFY(x->start());
    QVERIFY(x->startAgent(agent));
}

void TestPopupX11::cleanup()
{
    closeAll();
}

void TestPopupX11::closeAll()
{
    for (int round = 0; round < 20 && !x->popups().isEmpty(); ++round) {
        const QRect r = x->geometry(x->popups().constLast());
        x->click(QPoint(r.right() - 5 - 12, r.top() + 5 + 12));
        QTest::qWait(50);
    }
}

void TestPopupX11::placedAndSized_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");
    QTest::addColumn<QRect>("expected");

    QTest::newRow("default") << ""
                             << ""
                             << "" << QRect(1280 - 310, 1024 - 210, 310, 210);
    QTest::newRow("left top, sized") << "left top"
                                     << "400"
                                     << "300" << QRect(0, 0, 400, 300);
    QTest::newRow("bottom left") << "bottom left"
                                 << ""
                                 << "250" << QRect(0, 1024 - 250, 310, 250);
    QTest::newRow("top right") << "top right"
                               << ""
                               << "" << QRect(1280 - 310, 0, 310, 210);
    QTest::newRow("center") << "center"
                            << ""
                            << "" << QRect(485, 407, 310, 210);
}

void TestPopupX11::placedAndSized()
{
    QFETCH(QString, position);
    QFETCH(QString, width);
    QFETCH(QString, height);
    QFETCH(QRect, expected);
    QMap<QString, QString> settings;
    if (!position.isEmpty()) {
        settings.insert("position", position);
    }
    if (!width.isEmpty()) {
        settings.insert("width", width);
    }
    if (!height.isEmpty()) {
        settings.insert("height", height);
    }
    QCOMPARE(x->send(popupCommand(textMessage(settings))), QStringLiteral("OK"));
    QTRY_COMPARE_WITH_TIMEOUT(x->popups().size(), 1, 10000);
    const QString id = x->popups().constFirst();
    QTRY_COMPARE_WITH_TIMEOUT(x->geometry(id), expected, 5000);

    // The close button, at the right end of the top strip, closes it.
    x->click(QPoint(expected.right() - 5 - 12, expected.top() + 5 + 12));
    QTRY_VERIFY_WITH_TIMEOUT(x->popups().isEmpty(), 5000);
}

void TestPopupX11::actionButtonReportsAndOpens()
{
    // The agent reports actions to its built-in base URL, on port 8360; the
    // port is taken only for this case.
    auto service = std::make_unique<LoopbackServer>(8360);
    if (!service->listening) {
        QSKIP("port 8360 is in use: the action report cannot be received");
    }
    const QJsonArray actions{
        QJsonObject{{"id", " 77 "}, {"action", "Go"}, {"url", " http://example.org/x "}}};
    QCOMPARE(x->send(popupCommand(textMessage({{"position", "center"}}, actions))),
             QStringLiteral("OK"));
    QTRY_COMPARE_WITH_TIMEOUT(x->popups().size(), 1, 10000);
    const QRect r(485, 407, 310, 210);
    QTRY_COMPARE_WITH_TIMEOUT(x->geometry(x->popups().constFirst()), r, 5000);
    // The one button stands at the right end of the bottom row.
    x->click(QPoint(r.right() - 5 - 9 - 20, r.bottom() - 5 - 6 - 10));
    QTRY_COMPARE_WITH_TIMEOUT(service->requests, QStringList{"/push/channel/polling/action?id=77"},
                              10000);
    QTRY_COMPARE_WITH_TIMEOUT(x->opened(), QStringList{"http://example.org/x"}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(x->popups().isEmpty(), 5000);
}

void TestPopupX11::pageLoadsAndLinkOpens()
{
    LoopbackServer page;
    page.contentType = "text/html; charset=utf-8";
    page.body = "<html><body style='margin:0'><a href='http://example.org/more' "
                "style='display:block;height:600px;background:#eee'>more</a></body></html>";
    const QJsonObject message{
        {"messageFrom", "Url"},
        {"url", page.url(QStringLiteral("/news"))},
        {"settings", QJsonArray{QJsonObject{{"key", "position"}, {"value", "left top"}}}}};
    QCOMPARE(x->send(popupCommand(message)), QStringLiteral("OK"));
    QTRY_COMPARE_WITH_TIMEOUT(page.requests.value(0), QStringLiteral("/news"), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(x->popups().size(), 1, 10000);
    const int before = x->opened().size();
    // Click into the page until it has loaded and handed over the link.
    QTRY_VERIFY_WITH_TIMEOUT((x->click(QPoint(150, 120)), x->opened().size() > before), 20000);
    QCOMPARE(x->opened().constLast(), QStringLiteral("http://example.org/more"));
    QCOMPARE(x->popups().size(), 1); // the popup stays
    QCOMPARE(page.requests.size(), 1);
}

void TestPopupX11::agentOutlivesItsPopups()
{
    QCOMPARE(x->send(popupCommand(textMessage({}))), QStringLiteral("OK"));
    QTRY_COMPARE_WITH_TIMEOUT(x->popups().size(), 1, 10000);
    closeAll();
    QTRY_VERIFY(x->popups().isEmpty());
    QCOMPARE(x->agent.state(), QProcess::Running);
    QCOMPARE(x->send(QStringLiteral("Hello")), QStringLiteral("OK"));
}

QTEST_MAIN(TestPopupX11)
#include "tst_popupx11.moc"
