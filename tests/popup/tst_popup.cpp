// One popup, offscreen: where it rests and slides from, how a message fills
// it, and what its buttons, links and mouse do.
#include "core/globals.h"
#include "fakepush.h"
#include "message/message.h"
#include "popup/messagehandler.h"
#include "popup/messagewindow.h"
#include "popup/pageviewfactory.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTextBrowser>
#include <QtTest>

/// Records the URLs the desktop is asked to open.
class Opened : public QObject
{
    Q_OBJECT
public:
    Opened()
    {
        for (const char* scheme : {"http", "https", "mailto", "file"}) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
        }
    }
    QStringList urls;
public slots:
    void open(const QUrl& url) { urls << url.toString(); }
};

class TestPopup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { pageview::addSearchPath(QStringLiteral(ZAV_PAGEVIEW_DIR)); }
    void placement_data();
    void placement();
    void form_data();
    void form();
    void actionButton_data();
    void actionButton();
    void closeAndDrag();

private:
    /// A popup shown by a handler for a message read from its pipe form.
    MessageWindow* show(const QString& json)
    {
        handler.handle(Message::fromJson(json));
        auto windows = handler.findChildren<MessageWindow*>();
        return windows.isEmpty() ? nullptr : windows.last();
    }
    MessageHandler handler;
};

void TestPopup::placement_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QPoint>("rest");
    QTest::addColumn<QPoint>("hidden");
    // A 300 x 200 window in an available area of 1000 x 700.
    QTest::newRow("default") << "" << QPoint(700, 500) << QPoint(700, 700);
    QTest::newRow("bottom right") << "bottom right" << QPoint(700, 500) << QPoint(700, 700);
    QTest::newRow("left bottom") << "left bottom" << QPoint(0, 500) << QPoint(0, 700);
    QTest::newRow("topright") << "topright" << QPoint(700, 0) << QPoint(700, -200);
    QTest::newRow("top left") << "top left" << QPoint(0, 0) << QPoint(0, -200);
    QTest::newRow("center") << "center" << QPoint(350, 250) << QPoint(350, 250);
    QTest::newRow("top center") << "top center" << QPoint(350, 250) << QPoint(350, 250);
    QTest::newRow("one word") << "right" << QPoint(700, 500) << QPoint(700, 700);
    QTest::newRow("other case") << "Top Left" << QPoint(700, 500) << QPoint(700, 700);
}

void TestPopup::placement()
{
    QFETCH(QString, position);
    QFETCH(QPoint, rest);
    QFETCH(QPoint, hidden);
    QPoint r, h;
    MessageWindow::placement(QRect(0, 0, 1000, 700), QSize(300, 200), position, &r, &h);
    QCOMPARE(r, rest);
    QCOMPARE(h, hidden);
}

void TestPopup::form_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("buttons"); // object names, or "page"
    QTest::addColumn<QString>("sender");
    const QString actions =
        R"("actions":[{"id":"42","action":"Go","url":"u"},{"id":"7","action":"No"}])";
    QTest::newRow("plain") << "{}" << QSize(310, 210) << "" << MessageWindow::defaultSender();
    QTest::newRow("text form") << R"({"authorName":"A",)" + actions + "}" << QSize(310, 210)
                               << "btn42:Go,btn7:No"
                               << "A";
    QTest::newRow("page form") << R"({"messageFrom":"Url","url":"http://127.0.0.1:1/",)" + actions +
                                      "}"
                               << QSize(310, 210) << "page" << MessageWindow::defaultSender();
    QTest::newRow("url in lower case")
        << R"({"messageFrom":"url",)" + actions + "}" << QSize(310, 210) << "btn42:Go,btn7:No"
        << MessageWindow::defaultSender();
    QTest::newRow("width, bad height")
        << R"({"settings":[{"key":"width","value":"400"},{"key":"height","value":"abc"}]})"
        << QSize(400, 210) << "" << MessageWindow::defaultSender();
}

void TestPopup::form()
{
    QFETCH(QString, json);
    QFETCH(QSize, size);
    QFETCH(QString, buttons);
    QFETCH(QString, sender);
    MessageWindow* window = show(json);
    QCOMPARE(window->size(), size);
    QCOMPARE(window->findChild<QLabel*>("lblSource")->text(), sender);
    QStringList found;
    for (QPushButton* b : window->findChildren<QPushButton*>(QRegularExpression("^btn(?!Close)"))) {
        found << b->objectName() + ":" + b->text();
    }
    const bool page = buttons == "page";
    QCOMPARE(found.join(','), page ? QString() : buttons);
    QCOMPARE(window->findChild<QTextBrowser*>() == nullptr, page);
    QCOMPARE(window->findChild<QLabel*>("lblTitle") == nullptr, page);
    window->close();
}

void TestPopup::actionButton_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("opened");
    QTest::newRow("trimmed") << R"({"id":" 42 ","action":"Go","url":" http://h/p "})"
                             << "/push/channel/polling/action?id=42"
                             << "http://h/p";
    QTest::newRow("no url") << R"({"id":"5","action":"Go"})"
                            << "/push/channel/polling/action?id=5"
                            << "";
}

void TestPopup::actionButton()
{
    QFETCH(QString, action);
    QFETCH(QString, report);
    QFETCH(QString, opened);
    FakePush service;
    baseUrl.set(service.base());
    Opened desktop;
    QPointer<MessageWindow> window = show(R"({"actions":[)" + action + "]}");
    window->findChildren<QPushButton*>(QRegularExpression("^btn(?!Close)")).first()->click();
    QTRY_VERIFY(window.isNull());
    QTRY_COMPARE(service.requests, QStringList{report});
    QCOMPARE(desktop.urls.join(','), opened);

    // A link in the body opens too, and the popup stays.
    window = show(R"({"summary":"<a href='http://h/l'>link</a>"})");
    emit window->findChild<QTextBrowser*>()->anchorClicked(QUrl("http://h/l"));
    QCOMPARE(desktop.urls.last(), QStringLiteral("http://h/l"));
    QVERIFY(window->isVisible());
    window->close();
}

void TestPopup::closeAndDrag()
{
    QPointer<MessageWindow> window =
        show(R"({"settings":[{"key":"position","value":"top left"}]})");
    QTRY_COMPARE(window->pos(), QPoint(0, 0)); // slid in
    QTest::mousePress(window, Qt::RightButton, {}, QPoint(150, 8));
    QTest::mouseMove(window, QPoint(250, 108));
    QTest::mouseRelease(window, Qt::RightButton, {}, QPoint(250, 108));
    QCOMPARE(window->pos(), QPoint(0, 0));
    QMouseEvent press(QEvent::MouseButtonPress, QPoint(150, 8), QPoint(150, 8), Qt::LeftButton,
                      Qt::LeftButton, {});
    QApplication::sendEvent(window, &press);
    QMouseEvent move(QEvent::MouseMove, QPoint(250, 108), QPoint(250, 108), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(window, &move);
    QCOMPARE(window->pos(), QPoint(100, 100));

    // Closed during its slide, the popup goes at once.
    window = show("{}");
    window->findChild<QPushButton*>("btnClose")->click();
    QTRY_VERIFY(window.isNull());
}

QTEST_MAIN(TestPopup)
#include "tst_popup.moc"
