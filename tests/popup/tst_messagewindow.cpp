// The popup window offscreen: its form, filling, placement, slide, closing,
// action reports, links, painting and dragging.
#include "core/globals.h"
#include "app/logging.h"
#include "loopbackserver.h"
#include "message/message.h"
#include "popup/messagehandler.h"
#include "popup/messagewindow.h"
#include "popup/pageviewfactory.h"

#include <QBoxLayout>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QtTest>

#include <memory>

namespace {

struct ActionSpec
{
    QString id;
    QString label;
    QString url;
};

Message* makeMessage(const QMap<QString, QString>& settings = {},
                     const QList<ActionSpec>& actions = {}, const QString& form = QString())
{
    auto* msg = new Message();
    msg->title = QStringLiteral("Title");
    msg->summary = QStringLiteral("Summary");
    msg->authorName = QStringLiteral("Sender");
    msg->messageForm = form;
    msg->settings = settings;
    for (const ActionSpec& a : actions) {
        auto* action = new MessageAction(msg);
        action->id = a.id;
        action->action = a.label;
        action->url = a.url;
        msg->actions << action;
    }
    return msg;
}

QRect available()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

QList<QPushButton*> actionButtons(QWidget* window)
{
    QList<QPushButton*> result;
    for (QPushButton* b : window->findChildren<QPushButton*>()) {
        if (b->objectName() != QLatin1String("btnClose")) {
            result << b;
        }
    }
    return result;
}

void pressOn(QWidget* target, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons held,
             const QPoint& global)
{
    QMouseEvent event(type, target->mapFromGlobal(global), global, button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

} // namespace

class TestMessageWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void formTree_data();
    void formTree();
    void windowSetup();
    void senderText_data();
    void senderText();
    void size_data();
    void size();
    void placement_data();
    void placement();
    void placedFromScreen();
    void slideIn_data();
    void slideIn();
    void buttons();
    void textFormUnlessExactlyUrl_data();
    void textFormUnlessExactlyUrl();
    void pageForm();
    void pageLinkOpensBrowser();
    void bodyLinkOpensBrowser();
    void closeDeletesMessageAndWindow();
    void closeDuringSlide();
    void closeAnimationSlidesBack();
    void actionReport_data();
    void actionReport();
    void reportOutlivesPopup();
    void paintsBodyAndShadow();
    void drag_data();
    void drag();
    void handlerShowsPopup();
    void accessibleNames();

private:
    QPointer<MessageWindow> show(Message* msg, QWidget* parent = nullptr);
    QList<QPointer<MessageWindow>> windows;
};

void TestMessageWindow::initTestCase()
{
    installMessagePattern();
    pageview::addSearchPath(QStringLiteral(ZAV_PAGEVIEW_BUILD_DIR));
}

void TestMessageWindow::cleanup()
{
    for (const QPointer<MessageWindow>& w : qAsConst(windows)) {
        delete w.data();
    }
    windows.clear();
}

QPointer<MessageWindow> TestMessageWindow::show(Message* msg, QWidget* parent)
{
    auto* window = new MessageWindow(parent);
    window->setMessage(msg);
    window->popup();
    windows << window;
    return window;
}

void TestMessageWindow::formTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    QTest::newRow("widget") << "widget"
                            << "QWidget"
                            << "PopupMessageWindow";
    QTest::newRow("gridLayout") << "gridLayout"
                                << "QGridLayout"
                                << "PopupMessageWindow";
    QTest::newRow("gridLayout_2") << "gridLayout_2"
                                  << "QGridLayout"
                                  << "widget";
    QTest::newRow("vlMain") << "vlMain"
                            << "QVBoxLayout"
                            << "gridLayout_2";
    QTest::newRow("hlTop") << "hlTop"
                           << "QHBoxLayout"
                           << "vlMain";
    QTest::newRow("lblSource") << "lblSource"
                               << "QLabel"
                               << "widget";
    QTest::newRow("btnClose") << "btnClose"
                              << "QPushButton"
                              << "widget";
    QTest::newRow("hlMid") << "hlMid"
                           << "QHBoxLayout"
                           << "vlMain";
    QTest::newRow("vlContent") << "vlContent"
                               << "QVBoxLayout"
                               << "hlMid";
    QTest::newRow("lblTitle") << "lblTitle"
                              << "QLabel"
                              << "widget";
    QTest::newRow("txtMessage") << "txtMessage"
                                << "QTextBrowser"
                                << "widget";
    QTest::newRow("hlBottom") << "hlBottom"
                              << "QHBoxLayout"
                              << "vlMain";
}

void TestMessageWindow::formTree()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);

    MessageWindow window(nullptr);
    QCOMPARE(window.objectName(), QStringLiteral("PopupMessageWindow"));
    QObject* object = window.findChild<QObject*>(name);
    QVERIFY2(object, qPrintable(name));
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), className);
    QCOMPARE(object->parent()->objectName(), parentName);
}

void TestMessageWindow::windowSetup()
{
    MessageWindow window(nullptr);
    QCOMPARE(window.size(), QSize(310, 210));
    QCOMPARE(window.windowTitle(), QStringLiteral("消息框"));
    QCOMPARE(window.font().family(), QStringLiteral("微软雅黑"));
    QCOMPARE(window.contextMenuPolicy(), Qt::NoContextMenu);
    QVERIFY(window.testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(window.windowFlags(), Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);

    auto* close = window.findChild<QPushButton*>(QStringLiteral("btnClose"));
    QCOMPARE(close->styleSheet().size(), 548);
    QVERIFY(close->styleSheet().contains(QLatin1String("close_normal.png")));
    QCOMPARE(close->minimumSize(), QSize(24, 24));
    QVERIFY(!QPixmap(QStringLiteral(":/Resources/close_normal.png")).isNull());

    auto* source = window.findChild<QLabel*>(QStringLiteral("lblSource"));
    QCOMPARE(source->font().pointSize(), 10);
    QVERIFY(source->font().bold());
    QCOMPARE(source->minimumHeight(), 24);
    auto* title = window.findChild<QLabel*>(QStringLiteral("lblTitle"));
    QCOMPARE(title->font().pointSize(), 11);
    QCOMPARE(title->sizePolicy().horizontalPolicy(), QSizePolicy::Ignored);
    QCOMPARE(title->alignment(), Qt::AlignCenter);
    auto* text = window.findChild<QTextBrowser*>(QStringLiteral("txtMessage"));
    QCOMPARE(text->styleSheet(), QStringLiteral("border:none;line-height:24px;"));
    QVERIFY(text->toPlainText().contains(QStringLiteral("新闻内容")));

    auto* outer = window.findChild<QGridLayout*>(QStringLiteral("gridLayout"));
    QCOMPARE(outer->contentsMargins(), QMargins(5, 5, 5, 5));
    auto* bottom = window.findChild<QHBoxLayout*>(QStringLiteral("hlBottom"));
    QCOMPARE(bottom->spacing(), 12);
    QCOMPARE(bottom->contentsMargins().right(), 9);
    QCOMPARE(bottom->contentsMargins().bottom(), 6);
    QCOMPARE(bottom->count(), 1);
    QVERIFY(bottom->itemAt(0)->spacerItem());
    auto* mid = window.findChild<QHBoxLayout*>(QStringLiteral("hlMid"));
    QCOMPARE(mid->contentsMargins(), QMargins(9, 9, 9, 9));
}

void TestMessageWindow::senderText_data()
{
    QTest::addColumn<QString>("author");
    QTest::addColumn<QString>("shown");
    QTest::newRow("named") << QStringLiteral("某某软件") << QStringLiteral("某某软件");
    QTest::newRow("empty") << QString() << MessageWindow::defaultSender();
}

void TestMessageWindow::senderText()
{
    QFETCH(QString, author);
    QFETCH(QString, shown);
    Message* msg = makeMessage();
    msg->authorName = author;
    msg->title = QStringLiteral("标题");
    msg->summary = QStringLiteral("<b>bold</b> text");
    QPointer<MessageWindow> window = show(msg);
    QCOMPARE(window->findChild<QLabel*>(QStringLiteral("lblSource"))->text(), shown);
    QCOMPARE(window->findChild<QLabel*>(QStringLiteral("lblTitle"))->text(),
             QStringLiteral("标题"));
    auto* text = window->findChild<QTextBrowser*>(QStringLiteral("txtMessage"));
    QCOMPARE(text->toPlainText(), QStringLiteral("bold text")); // HTML was recognised
}

void TestMessageWindow::size_data()
{
    QTest::addColumn<QString>("width");
    QTest::addColumn<QString>("height");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("none") << QString() << QString() << QSize(310, 210);
    QTest::newRow("both") << "400"
                          << "300" << QSize(400, 300);
    QTest::newRow("height not a number") << "400"
                                         << "abc" << QSize(400, 210);
    QTest::newRow("width not a number") << "12px"
                                        << "250" << QSize(310, 250);
    QTest::newRow("hex is not decimal") << "0x200"
                                        << "" << QSize(310, 210);
    QTest::newRow("spaces around") << " 350 "
                                   << "220" << QSize(350, 220);
}

void TestMessageWindow::size()
{
    QFETCH(QString, width);
    QFETCH(QString, height);
    QFETCH(QSize, expected);
    QMap<QString, QString> settings;
    if (!width.isNull()) {
        settings.insert(QStringLiteral("width"), width);
    }
    if (!height.isNull()) {
        settings.insert(QStringLiteral("height"), height);
    }
    QPointer<MessageWindow> window = show(makeMessage(settings));
    QCOMPARE(window->size(), expected);
}

void TestMessageWindow::placement_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QString>("position");
    QTest::addColumn<QPoint>("rest");
    QTest::addColumn<QPoint>("hidden");

    const QRect area(0, 0, 1280, 1000);
    const QSize s(310, 210);
    const int W = 1280, H = 1000, w = s.width(), h = s.height();
    QTest::newRow("default") << area << QString() << QPoint(W - w, H - h) << QPoint(W - w, H);
    QTest::newRow("bottom right") << area << "bottom right" << QPoint(W - w, H - h)
                                  << QPoint(W - w, H);
    QTest::newRow("right bottom") << area << "right bottom" << QPoint(W - w, H - h)
                                  << QPoint(W - w, H);
    QTest::newRow("bottom left") << area << "bottom left" << QPoint(0, H - h) << QPoint(0, H);
    QTest::newRow("top right") << area << "top right" << QPoint(W - w, 0) << QPoint(W - w, -h);
    QTest::newRow("left top") << area << "left top" << QPoint(0, 0) << QPoint(0, -h);
    QTest::newRow("topleft glued") << area << "topleft" << QPoint(0, 0) << QPoint(0, -h);
    QTest::newRow("center") << area << "center" << QPoint((W - w) / 2, (H - h) / 2)
                            << QPoint((W - w) / 2, (H - h) / 2);
    QTest::newRow("top center") << area << "top center" << QPoint((W - w) / 2, (H - h) / 2)
                                << QPoint((W - w) / 2, (H - h) / 2);
    QTest::newRow("bottom center") << area << "bottom center" << QPoint((W - w) / 2, (H - h) / 2)
                                   << QPoint((W - w) / 2, (H - h) / 2);
    QTest::newRow("upper case is no word")
        << area << "TOP LEFT" << QPoint(W - w, H - h) << QPoint(W - w, H);
    QTest::newRow("unknown") << area << "middle" << QPoint(W - w, H - h) << QPoint(W - w, H);
    QTest::newRow("odd centre truncates")
        << QRect(0, 0, 1001, 801) << "center" << QPoint(345, 295) << QPoint(345, 295);
    // A panel on the top or left edge moves the available area's corner.
    QTest::newRow("panel at top, default")
        << QRect(0, 40, 1280, 984) << QString() << QPoint(W - w, 40 + 984 - h)
        << QPoint(W - w, 40 + 984);
    QTest::newRow("panel at top, top right")
        << QRect(0, 40, 1280, 984) << "top right" << QPoint(W - w, 40) << QPoint(W - w, 40 - h);
    QTest::newRow("panel at left, left top")
        << QRect(64, 0, 1216, 1024) << "left top" << QPoint(64, 0) << QPoint(64, -h);
    QTest::newRow("panel at left, center")
        << QRect(64, 0, 1216, 1024) << "center" << QPoint(64 + (1216 - w) / 2, (1024 - h) / 2)
        << QPoint(64 + (1216 - w) / 2, (1024 - h) / 2);
}

void TestMessageWindow::placement()
{
    QFETCH(QRect, area);
    QFETCH(QString, position);
    QFETCH(QPoint, rest);
    QFETCH(QPoint, hidden);
    QPoint gotRest, gotHidden;
    MessageWindow::placement(area, QSize(310, 210), position, &gotRest, &gotHidden);
    QCOMPARE(gotRest, rest);
    QCOMPARE(gotHidden, hidden);
}

void TestMessageWindow::placedFromScreen()
{
    const QRect area = available();
    QPointer<MessageWindow> window = show(
        makeMessage({{QStringLiteral("width"), QStringLiteral("200")}, {"position", "left top"}}));
    QTRY_COMPARE(window->pos(), area.topLeft());
    QCOMPARE(window->size(), QSize(200, 210));

    QPointer<MessageWindow> second = show(makeMessage());
    QTRY_COMPARE(second->pos(), area.bottomRight() - QPoint(309, 209));
}

void TestMessageWindow::slideIn_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<int>("startDy"); // start point relative to the resting point
    const int h = 210;
    QTest::newRow("bottom slides up") << "bottom right" << h;
    QTest::newRow("top slides down") << "top right" << -h;
    QTest::newRow("center stays") << "center" << 0;
}

void TestMessageWindow::slideIn()
{
    QFETCH(QString, position);
    QFETCH(int, startDy);
    QPointer<MessageWindow> window = show(makeMessage({{QStringLiteral("position"), position}}));
    auto* animation = window->findChild<QPropertyAnimation*>();
    QVERIFY(!animation); // it has no parent: the window holds it by pointer
    QPoint rest, hidden;
    MessageWindow::placement(available(), QSize(310, 210), position, &rest, &hidden);
    QCOMPARE(hidden, rest + QPoint(0, startDy));
    // First seen at the hidden point (or within a frame of it), resting 200 ms later.
    QVERIFY(qAbs(window->pos().y() - hidden.y()) <= qAbs(startDy) / 2);
    QTRY_COMPARE_WITH_TIMEOUT(window->pos(), rest, 1000);
}

void TestMessageWindow::buttons()
{
    QPointer<MessageWindow> window =
        show(makeMessage({}, {{"42", "查看", "http://a/"}, {"7", "Later", " http://b/ "}}));
    const QList<QPushButton*> found = actionButtons(window);
    QCOMPARE(found.size(), 2);
    auto* bottom = window->findChild<QHBoxLayout*>(QStringLiteral("hlBottom"));
    QCOMPARE(bottom->count(), 3);
    QVERIFY(bottom->itemAt(0)->spacerItem());
    const QStringList names{"btn42", "btn7"};
    const QStringList labels{"查看", "Later"};
    const QStringList urls{"http://a/", " http://b/ "};
    for (int i = 0; i < 2; ++i) {
        auto* button = qobject_cast<QPushButton*>(bottom->itemAt(i + 1)->widget());
        QVERIFY(button);
        QCOMPARE(button->objectName(), names.at(i));
        QCOMPARE(button->text(), labels.at(i));
        QCOMPARE(button->property("url").toString(), urls.at(i));
        QCOMPARE(button->property("id").toString(), names.at(i).mid(3));
        QCOMPARE(button->minimumSize(), QSize(70, 22));
        QCOMPARE(button->styleSheet().size(), 201);
        QVERIFY(button->styleSheet().startsWith(QLatin1String("QPushButton { color:white;")));
    }
    // In list order, left to right, 12 pixels apart.
    QTRY_VERIFY(found.at(0)->isVisible());
    auto* first = window->findChild<QPushButton*>(QStringLiteral("btn42"));
    auto* second = window->findChild<QPushButton*>(QStringLiteral("btn7"));
    QCOMPARE(second->x() - (first->x() + first->width()), 12);
}

void TestMessageWindow::textFormUnlessExactlyUrl_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("lower case") << "url";
    QTest::newRow("upper case") << "URL";
    QTest::newRow("padded") << " Url";
    QTest::newRow("empty") << "";
    QTest::newRow("text") << "Text";
}

void TestMessageWindow::textFormUnlessExactlyUrl()
{
    QFETCH(QString, form);
    QPointer<MessageWindow> window = show(makeMessage({}, {{"1", "Go", "http://x/"}}, form));
    QVERIFY(window->findChild<QTextBrowser*>(QStringLiteral("txtMessage")));
    QVERIFY(window->findChild<QLabel*>(QStringLiteral("lblTitle")));
    QCOMPARE(actionButtons(window).size(), 1);
}

void TestMessageWindow::pageForm()
{
    LoopbackServer server;
    server.contentType = "text/html; charset=utf-8";
    server.body = "<html><body><h1>Page</h1></body></html>";
    Message* msg =
        makeMessage({{"height", "300"}}, {{"1", "Go", "http://x/"}}, QStringLiteral("Url"));
    msg->url = server.url(QStringLiteral("/page 1"));
    QPointer<MessageWindow> window = show(msg);

    QVERIFY(!window->findChild<QTextBrowser*>());
    QVERIFY(!window->findChild<QLabel*>(QStringLiteral("lblTitle")));
    QVERIFY(!window->findChild<QLayout*>(QStringLiteral("hlBottom")));
    QVERIFY(!window->findChild<QLayout*>(QStringLiteral("hlMid")));
    QVERIFY(!window->findChild<QLayout*>(QStringLiteral("vlContent")));
    QVERIFY(actionButtons(window).isEmpty());
    auto* vlMain = window->findChild<QVBoxLayout*>(QStringLiteral("vlMain"));
    QCOMPARE(vlMain->count(), 2);

    QWidget* view = vlMain->itemAt(1)->widget();
    QVERIFY(view);
    QCOMPARE(QString::fromLatin1(view->metaObject()->className()), QStringLiteral("QWebView"));
    QCOMPARE(view->contextMenuPolicy(), Qt::NoContextMenu);
    QTRY_COMPARE(server.requests.value(0), QStringLiteral("/page%201")); // tolerant parse
    // The view takes the room below the top strip.
    QTRY_COMPARE(view->height(), 300 - 10 - 24);
}

void TestMessageWindow::pageLinkOpensBrowser()
{
    LoopbackServer server;
    server.contentType = "text/html; charset=utf-8";
    server.body = "<html><body style='margin:0'><a id='l' href='http://example.org/more' "
                  "style='display:block;width:100%;height:400px'>more</a></body></html>";
    UrlRecorder recorder;
    Message* msg = makeMessage({}, {}, QStringLiteral("Url"));
    msg->url = server.url(QStringLiteral("/"));
    QPointer<MessageWindow> window = show(msg);
    QWidget* view = window->findChild<QVBoxLayout*>(QStringLiteral("vlMain"))->itemAt(1)->widget();
    QSignalSpy loaded(view, SIGNAL(loadFinished(bool)));
    QTRY_COMPARE(loaded.count(), 1);
    QCOMPARE(loaded.at(0).at(0).toBool(), true);

    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(40, 40));
    QTRY_COMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.at(0), QUrl(QStringLiteral("http://example.org/more")));
    QVERIFY(window);
    QVERIFY(window->isVisible());
    QCOMPARE(server.requests.size(), 1); // the view did not follow the link
}

void TestMessageWindow::bodyLinkOpensBrowser()
{
    UrlRecorder recorder;
    Message* msg = makeMessage();
    msg->summary = QStringLiteral("<p><a href='https://example.org/a'>AAAAAAAAAAAAAAAA</a></p>");
    QPointer<MessageWindow> window = show(msg);
    auto* text = window->findChild<QTextBrowser*>(QStringLiteral("txtMessage"));
    QTRY_VERIFY(text->isVisible());
    QTextCursor cursor(text->document());
    cursor.setPosition(4);
    const QPoint at = text->cursorRect(cursor).center();
    QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, at);
    QTRY_COMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.at(0), QUrl(QStringLiteral("https://example.org/a")));
    QVERIFY(window);
    QCOMPARE(text->toPlainText(), QStringLiteral("AAAAAAAAAAAAAAAA")); // did not navigate
}

void TestMessageWindow::closeDeletesMessageAndWindow()
{
    Message* msg = makeMessage({}, {{"1", "Go", "http://x/"}});
    QPointer<Message> message(msg);
    QPointer<MessageAction> action(msg->actions.at(0));
    QPointer<MessageWindow> window = show(msg);
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnClose")), Qt::LeftButton);
    QVERIFY(!message);
    QVERIFY(!action);
    QVERIFY(window);
    QVERIFY(!window->isVisible());
    QTRY_VERIFY(!window);
}

void TestMessageWindow::closeDuringSlide()
{
    QPointer<MessageWindow> window = show(makeMessage());
    QPoint rest, hidden;
    MessageWindow::placement(available(), QSize(310, 210), QString(), &rest, &hidden);
    QVERIFY(window->pos() != rest); // still sliding
    QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnClose")), Qt::LeftButton);
    QVERIFY(!window->isVisible());
    const QPoint frozen = window->pos();
    QCoreApplication::processEvents(); // an animation left running would move it now
    QVERIFY(window);
    QCOMPARE(window->pos(), frozen);
    QTRY_VERIFY(!window);
}

void TestMessageWindow::closeAnimationSlidesBack()
{
    QPointer<MessageWindow> window = show(makeMessage({{"position", "bottom left"}}));
    QPoint rest, hidden;
    MessageWindow::placement(available(), QSize(310, 210), QStringLiteral("bottom left"), &rest,
                             &hidden);
    QTRY_COMPARE(window->pos(), rest);
    QVERIFY(QMetaObject::invokeMethod(window, "closeAnimation"));
    QTRY_COMPARE_WITH_TIMEOUT(window->pos(), hidden, 1000);
    QTest::qWait(50); // finished() has dropped the animation; the window stays
    QVERIFY(window);
    QVERIFY(window->isVisible());
}

void TestMessageWindow::actionReport_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("reported");
    QTest::addColumn<QString>("opened");

    QTest::newRow("plain") << "42"
                           << "http://example.org/x"
                           << "/push/channel/polling/action?id=42"
                           << "http://example.org/x";
    QTest::newRow("spaces trimmed") << "  7 "
                                    << "\t https://example.org/y?q=1  "
                                    << "/push/channel/polling/action?id=7"
                                    << "https://example.org/y?q=1";
    QTest::newRow("empty url still reports") << "9"
                                             << ""
                                             << "/push/channel/polling/action?id=9"
                                             << "";
    QTest::newRow("id sent unescaped") << "a&b=c"
                                       << "  "
                                       << "/push/channel/polling/action?id=a&b=c"
                                       << "";
}

void TestMessageWindow::actionReport()
{
    QFETCH(QString, id);
    QFETCH(QString, url);
    QFETCH(QString, reported);
    QFETCH(QString, opened);

    LoopbackServer service;
    const QString savedBase = baseUrl.get();
    baseUrl.set(service.url(QStringLiteral("/push")));
    UrlRecorder recorder;
    Message* msg = makeMessage({}, {{id, "Go", url}});
    QPointer<Message> message(msg);
    QPointer<MessageWindow> window = show(msg);
    QPushButton* button = actionButtons(window).value(0);
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!message);
    QVERIFY(!window || !window->isVisible());
    QTRY_COMPARE(service.requests, QStringList{reported});
    if (opened.isEmpty()) {
        QVERIFY(recorder.urls.isEmpty());
    } else {
        QCOMPARE(recorder.urls, QList<QUrl>{QUrl(opened)});
    }
    QTRY_VERIFY(!window);
    baseUrl.set(savedBase);
}

void TestMessageWindow::reportOutlivesPopup()
{
    LoopbackServer service;
    const QString savedBase = baseUrl.get();
    baseUrl.set(service.url(QStringLiteral("/push")));
    MessageHandler handler;
    handler.handle(makeMessage({}, {{"5", "Go", ""}}));
    auto* window = handler.findChild<MessageWindow*>();
    QVERIFY(window);
    QPointer<MessageWindow> guard(window);
    QTest::mouseClick(actionButtons(window).value(0), Qt::LeftButton);
    // The popup is gone before the request has had a chance to go out.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!guard);
    QTRY_COMPARE(service.requests, QStringList{"/push/channel/polling/action?id=5"});
    // The report's client is disposed of once the answer is in.
    QTRY_VERIFY(handler.findChildren<QObject*>().isEmpty());
    baseUrl.set(savedBase);
}

void TestMessageWindow::paintsBodyAndShadow()
{
    QPointer<MessageWindow> window = show(makeMessage({{"position", "center"}}));
    QTRY_VERIFY(window->isVisible());
    QImage image = window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const int h = image.height();
    const int w = image.width();
    QCOMPARE(QSize(w, h), QSize(310, 210));
    // The body is white and opaque where no child paints its own background.
    const QColor body = image.pixelColor(w / 2, h - 8);
    QCOMPARE(body, QColor(Qt::white));
    // The band: black with alpha falling off from the body's edge outwards.
    int previous = 256;
    for (int x = 4; x >= 0; --x) {
        const QColor c = image.pixelColor(x, h / 2);
        QVERIFY2((c.red() < 40 && c.green() < 40 && c.blue() < 40) || c.alpha() == 0,
                 qPrintable(QStringLiteral("x=%1 %2").arg(x).arg(c.name(QColor::HexArgb))));
        QVERIFY2(c.alpha() < previous, qPrintable(QStringLiteral("x=%1").arg(x)));
        previous = c.alpha();
    }
    QVERIFY(image.pixelColor(4, h / 2).alpha() >= 50);
    QVERIFY(image.pixelColor(0, h / 2).alpha() <= 13);
    QVERIFY(image.pixelColor(0, 0).alpha() <= 13);
    // Right and bottom edges mirror the left one.
    QCOMPARE(image.pixelColor(w - 1 - 4, h / 2).alpha(), image.pixelColor(4, h / 2).alpha());
    QCOMPARE(image.pixelColor(w / 2, h - 1 - 2).alpha(), image.pixelColor(2, h / 2).alpha());
}

void TestMessageWindow::drag_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("moves");
    QTest::newRow("left on the strip") << "lblSource" << int(Qt::LeftButton) << true;
    QTest::newRow("left on the title") << "lblTitle" << int(Qt::LeftButton) << true;
    QTest::newRow("right on the strip") << "lblSource" << int(Qt::RightButton) << false;
    QTest::newRow("left on the text") << "txtMessage" << int(Qt::LeftButton) << false;
}

void TestMessageWindow::drag()
{
    QFETCH(QString, target);
    QFETCH(int, button);
    QFETCH(bool, moves);
    QPointer<MessageWindow> window = show(makeMessage({{"position", "center"}}));
    QTRY_VERIFY(window->isVisible());
    const QPoint start = window->pos();
    auto* widget = window->findChild<QWidget*>(target);
    QWidget* receiver = target == QLatin1String("txtMessage")
                            ? static_cast<QTextBrowser*>(widget)->viewport()
                            : widget;
    const QPoint grab = receiver->mapToGlobal(QPoint(10, 5));
    const auto b = Qt::MouseButton(button);
    pressOn(receiver, QEvent::MouseButtonPress, b, b, grab);
    pressOn(receiver, QEvent::MouseMove, Qt::NoButton, b, grab + QPoint(30, 17));
    pressOn(receiver, QEvent::MouseMove, Qt::NoButton, b, grab + QPoint(-50, 40));
    pressOn(receiver, QEvent::MouseButtonRelease, b, Qt::NoButton, grab + QPoint(-50, 40));
    QCOMPARE(window->pos(), moves ? start + QPoint(-50, 40) : start);
    // After the release a move without buttons does nothing.
    pressOn(receiver, QEvent::MouseMove, Qt::NoButton, Qt::NoButton, grab + QPoint(90, 90));
    QCOMPARE(window->pos(), moves ? start + QPoint(-50, 40) : start);
}

void TestMessageWindow::handlerShowsPopup()
{
    MessageHandler handler;
    handler.handle(makeMessage());
    handler.handle(makeMessage());
    const auto popups = handler.findChildren<MessageWindow*>();
    QCOMPARE(popups.size(), 2);
    QVERIFY(!handler.isVisible());
    QTRY_VERIFY(popups.at(0)->isVisible() && popups.at(1)->isVisible());
    QTRY_COMPARE(popups.at(0)->pos(), popups.at(1)->pos()); // same settings, same place
}

void TestMessageWindow::accessibleNames()
{
    Message* msg = makeMessage({}, {{"1", "打开", "http://x/"}});
    msg->summary = QStringLiteral("<b>Hello</b> world");
    QPointer<MessageWindow> window = show(msg);
    QCOMPARE(window->accessibleName(), QStringLiteral("Sender: Title"));
    QCOMPARE(window->accessibleDescription(), QStringLiteral("Hello world"));
    QCOMPARE(actionButtons(window).value(0)->accessibleName(), QStringLiteral("打开"));
    QVERIFY(
        !window->findChild<QPushButton*>(QStringLiteral("btnClose"))->accessibleName().isEmpty());
}

QTEST_MAIN(TestMessageWindow)
#include "tst_messagewindow.moc"
