// One popup, offscreen: where it rests and slides from, how a message fills
// it, and what its buttons, links and mouse do; and the same message as a
// notification of a notification service.
#include "core/globals.h"
#include "desktop/layersurface.h"
#include "fakepush.h"
#include "logcapture.h"
#include "message/message.h"
#include "notifications/notificationoutput.h"
#include "page/pagesandbox.h"
#include "popup/messagehandler.h"
#include "popup/messagewindow.h"

#include <QDBusConnection>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QtTest>

/// An image of one colour as PNG.
static QByteArray png(int width, int height, Qt::GlobalColor colour = Qt::red)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QBuffer bytes;
    bytes.open(QIODevice::WriteOnly);
    image.save(&bytes, "PNG");
    return bytes.data();
}

/// A notification service that records what it is asked to show. It answers
/// from a thread of its own: the output waits for its first answers.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QMutex mutex;
    QList<QVariantList> notes; ///< the arguments of each Notify

public slots:
    QStringList GetCapabilities() { return {"body", "body-markup", "actions"}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion)
    {
        vendor = "test", version = "1", specVersion = "1.2";
        return "fake";
    }
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints,
                int expiry)
    {
        QMutexLocker lock(&mutex);
        notes << QVariantList{app, replaces, icon, summary, body, actions, hints, expiry};
        return uint(notes.size());
    }
    void CloseNotification(uint) {}
};

/// A session bus of the test's own (dbus-daemon), with FakeNotifications on it.
class PrivateBus
{
public:
    PrivateBus()
    {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address"});
        QByteArray address;
        while (!address.endsWith('\n') && daemon.waitForReadyRead(5000)) {
            address += daemon.readAllStandardOutput();
        }
        service = QDBusConnection::connectToBus(QString(address.trimmed()), "service");
        agent = QDBusConnection::connectToBus(QString(address.trimmed()), "agent");
        fake->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, fake, &QObject::deleteLater);
        thread.start();
        service.registerObject("/org/freedesktop/Notifications", fake,
                               QDBusConnection::ExportAllSlots);
        service.registerService("org.freedesktop.Notifications");
    }
    ~PrivateBus()
    {
        QDBusConnection::disconnectFromBus("agent");
        QDBusConnection::disconnectFromBus("service");
        thread.quit();
        thread.wait();
        daemon.terminate();
        daemon.waitForFinished();
    }
    QList<QVariantList> notes()
    {
        QMutexLocker lock(&fake->mutex);
        return fake->notes;
    }
    QProcess daemon;
    QDBusConnection service{QString()};
    QDBusConnection agent{QString()};
    QThread thread;
    FakeNotifications* fake = new FakeNotifications();
};

class TestPopup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        pagesandbox::addSearchPath(QStringLiteral(ZAV_PAGEVIEW_DIR));
        recordUrls();
    }

    void placement_data()
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

    // On a layer shell the same places are margins from the corner's edges:
    // where a compositor puts a surface anchored there with those margins.
    void placement()
    {
        QFETCH(QString, position);
        QFETCH(QPoint, rest);
        QFETCH(QPoint, hidden);
        const QRect area(0, 0, 1000, 700);
        const QSize size(300, 200);
        QPoint r, h;
        MessageWindow::placement(area, size, position, &r, &h);
        QCOMPARE(r, rest);
        QCOMPARE(h, hidden);
        const Qt::Edges edges = MessageWindow::anchorEdges(MessageWindow::cornerOf(position));
        const auto compositor = [&](const QPoint& at) {
            const QMargins m = layersurface::margins(edges, area, QRect(at, size));
            const auto axis = [](bool low, bool high, int start, int room, int side, int mLow,
                                 int mHigh) {
                return low    ? start + mLow
                       : high ? start + room - side - mHigh
                              : start + (room - side) / 2;
            };
            return QPoint(axis(edges & Qt::LeftEdge, edges & Qt::RightEdge, area.x(), area.width(),
                               size.width(), m.left(), m.right()),
                          axis(edges & Qt::TopEdge, edges & Qt::BottomEdge, area.y(), area.height(),
                               size.height(), m.top(), m.bottom()));
        };
        QCOMPARE(compositor(r), rest);
        QCOMPARE(compositor(h), hidden);
    }

    void form_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("buttons"); // object names, or "page"
        QTest::addColumn<QString>("sender");
        const QString actions =
            R"("actions":[{"id":"42","action":"Go","url":"u"},{"id":"7","action":"No"}])";
        QTest::newRow("plain") << "{}" << QSize(310, 210) << "" << MessageWindow::defaultSender();
        QTest::newRow("text form") << R"({"authorName":"A",)" + actions + "}" << QSize(310, 210)
                                   << "btn42:Go,btn7:No" << QString("A");
        QTest::newRow("page form")
            << R"({"messageFrom":"Url","url":"http://127.0.0.1:1/",)" + actions + "}"
            << QSize(310, 210) << "page" << MessageWindow::defaultSender();
        QTest::newRow("url in lower case")
            << R"({"messageFrom":"url",)" + actions + "}" << QSize(310, 210) << "btn42:Go,btn7:No"
            << MessageWindow::defaultSender();
        QString many = QString(R"({"id":"x","action":"L"},)").repeated(40000);
        many.chop(1);
        QTest::newRow("40,000 actions")
            << R"({"actions":[)" + many + "]}" << QSize(310, 266)
            << QString("btnx:L,").repeated(8).chopped(1) << MessageWindow::defaultSender();
        QTest::newRow("width, bad height")
            << R"({"settings":[{"key":"width","value":"400"},{"key":"height","value":"abc"}]})"
            << QSize(400, 210) << "" << MessageWindow::defaultSender();
    }

    void form()
    {
        QFETCH(QString, json);
        QFETCH(QSize, size);
        QFETCH(QString, buttons);
        QFETCH(QString, sender);
        MessageWindow* window = show(json);
        QCOMPARE(window->size(), size);
        QCOMPARE(window->findChild<QLabel*>("lblSource")->text(), sender);
        QStringList found;
        for (QPushButton* b :
             window->findChildren<QPushButton*>(QRegularExpression("^btn(?!Close)"))) {
            found << b->objectName() + ":" + b->text();
        }
        const bool page = buttons == "page";
        QCOMPARE(found.join(','), page ? QString() : buttons);
        QCOMPARE(window->findChild<QTextBrowser*>() == nullptr, page);
        QCOMPARE(window->findChild<QLabel*>("lblTitle") == nullptr, page);
        window->close();
    }

    void actionButton_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("link"); // then clicked in the body
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("opened");
        QTest::newRow("trimmed") << R"({"id":" 42 ","action":"Go","url":" http://h/p "})"
                                 << QString("http://h/l") << "/push/channel/polling/action?id=42"
                                 << QString("http://h/p,http://h/l");
        QTest::newRow("no url") << R"({"id":"5","action":"Go"})" << QString("http://h/l")
                                << "/push/channel/polling/action?id=5" << QString("http://h/l");
        // Only web and mail URLs leave the agent; the id cannot add parameters.
        for (const char* url : {"file:///usr/bin/id", "/usr/bin/id", "smb://h/s", "zav:run"}) {
            QTest::newRow(url)
                << QStringLiteral(R"({"id":"1&x=y","action":"Go","url":"%1"})").arg(url) << url
                << "/push/channel/polling/action?id=1%26x%3Dy" << QString("");
        }
        QTest::newRow("mail") << R"({"id":"m","action":"Go","url":"mailto:a@h"})"
                              << QString("mailto:a@h") << "/push/channel/polling/action?id=m"
                              << QString("mailto:a@h,mailto:a@h");
        // Mail programs attach what such parameters name: address, subject and body only.
        const char* attaching = "mailto:a@h?Subject=S&attach=/etc/passwd&cc=c@h&body=B&body=C";
        QTest::newRow("mail attaching a file")
            << QStringLiteral(R"({"id":"m","action":"Go","url":"%1"})").arg(attaching)
            << QString(attaching) << "/push/channel/polling/action?id=m"
            << QString("mailto:a@h?subject=S&body=B,mailto:a@h?subject=S&body=B");
        QTest::newRow("mail, parameters in the address")
            << R"({"id":"m","action":"Go","url":"mailto:a@h%3Fattach=/etc/passwd"})"
            << QString("mailto:a@h%3Fattach=/etc/passwd") << "/push/channel/polling/action?id=m"
            << QString("mailto:a@h,mailto:a@h");
    }

    void actionButton()
    {
        QFETCH(QString, action);
        QFETCH(QString, link);
        QFETCH(QString, report);
        QFETCH(QString, opened);
        FakePush service;
        baseUrl.set(service.base());
        urls.clear();
        QPointer<MessageWindow> window = show(R"({"actions":[)" + action + "]}");
        window->findChildren<QPushButton*>(QRegularExpression("^btn(?!Close)")).first()->click();
        QTRY_VERIFY(window.isNull());
        QTRY_COMPARE(service.requests, QStringList{report});

        // A link in the body opens too, and the popup stays.
        window = show(R"({"summary":"<a href='x'>link</a>"})");
        emit window->findChild<QTextBrowser*>()->anchorClicked(QUrl(link));
        QCOMPARE(urls.join(','), opened);
        QVERIFY(window->isVisible());
        window->close();
    }

    void closeAndDrag()
    {
        QPointer<MessageWindow> window =
            show(R"({"settings":[{"key":"position","value":"top left"}]})");
        QTRY_COMPARE(window->pos(), QPoint(0, 0));                               // slid in
        for (const Qt::MouseButton button : {Qt::RightButton, Qt::LeftButton}) { // the left drags
            QMouseEvent press(QEvent::MouseButtonPress, {150, 8}, {150, 8}, button, button, {});
            QApplication::sendEvent(window, &press);
            QMouseEvent move(QEvent::MouseMove, {250, 108}, {250, 108}, Qt::NoButton, button, {});
            QApplication::sendEvent(window, &move);
            QCOMPARE(window->pos(), button == Qt::LeftButton ? QPoint(100, 100) : QPoint(0, 0));
        }

        // Closed during its slide, the popup goes at once.
        window = show("{}");
        window->findChild<QPushButton*>("btnClose")->click();
        QTRY_VERIFY(window.isNull());
    }

    void hostileText_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<bool>("red"); // whether red shows
        const QString file = files.filePath("red.png");
        QFile red(file);
        red.open(QIODevice::WriteOnly) && red.write(png(16, 16));
        const auto message = [](const char* field, const QString& html) {
            return QString::fromUtf8(QJsonDocument(QJsonObject{{field, html}}).toJson());
        };
        const QString image = "<img src='" + file + "'>";
        QTest::newRow("summary image from a file") << message("summary", image) << false;
        QTest::newRow("title image from a file") << message("title", "<b>T</b>" + image) << false;
        QTest::newRow("sender image from a file")
            << message("authorName", "<i>A</i>" + image) << false;
        QTest::newRow("background from a file")
            << message("summary", "<table background='" + file +
                                      "' width=90 height=40><tr><td>x</td></tr></table>")
            << false;
        const QString data = "data:image/png;base64,";
        QTest::newRow("data: image")
            << message("summary", "<img src='" + data + png(16, 16).toBase64() + "'>") << true;
        QTest::newRow("30 nested red tables") // Qt would lay them out for hours
            << message("summary", QString("<table bgcolor=#ff0000><tr><td>").repeated(30)) << false;
        QTest::newRow("data: image of 3000 x 1000")
            << message("summary", "<img src='" + data + png(3000, 1000).toBase64() + "'>") << false;
        QTest::newRow("data: images of 2.2 M pixels together") // each alone would do
            << message("summary", "<img width=9 height=9 src='" + data +
                                      png(1200, 1000, Qt::blue).toBase64() +
                                      "'><img width=9 height=9 src='" + data +
                                      png(1000, 1000).toBase64() + "'>")
            << false;
        // One black pixel on a GIF screen of 2048 x 500, which the reader
        // reports as 1 x 500 and the decoder fills: the red image after it is
        // past the cap.
        const QByteArray gif = QByteArray::fromHex( // header, screen, colours, image
            "474946383961 0008f401 800000000000ff0000 2c00000000010001000002024401003b");
        QTest::newRow("data: GIF screen and image of 2.1 M pixels together")
            << message("summary", "<img width=9 height=9 src='data:image/gif;base64," +
                                      gif.toBase64() + "'><img width=9 height=9 src='" + data +
                                      png(1000, 1100).toBase64() + "'>")
            << false;
        // A screen of no width: the decoder makes it as wide as the first
        // frame reaches (1,501) and as high as written (1,000). Refused: the
        // red image after it is within the cap.
        const QByteArray noWidth = QByteArray::fromHex(
            "474946383961 0000e803 800000000000ff0000 2cdc050000 0100e803 0002024401003b");
        QTest::newRow("data: GIF screen of no width, then an image")
            << message("summary", "<img width=9 height=9 src='data:image/gif;base64," +
                                      noWidth.toBase64() + "'><img width=9 height=9 src='" + data +
                                      png(1000, 700).toBase64() + "'>")
            << true;
        const QString padded = "<table cellpadding=100000000 bgcolor=#ff0000><tr><td>x";
        QTest::newRow("58 bytes of table") // cut to what a popup shows
            << message("summary", padded) << true;
        QTest::newRow("150 rows spanning 60,000 columns") // too many cells: plain
            << message("summary", "<table bgcolor=#ff0000>" +
                                      QString("<tr><td colspan=60000>x</td></tr>").repeated(150))
            << false;
    }

    void hostileText()
    {
        QFETCH(QString, json);
        QFETCH(bool, red);
        MessageWindow* window = show(json);
        const QImage shot = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const auto* pixels = reinterpret_cast<const QRgb*>(shot.constBits());
        const auto end = pixels + shot.width() * shot.height();
        QCOMPARE(std::find(pixels, end, qRgb(255, 0, 0)) != end, red);
        window->close();
    }

    void pageRefused_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("local file") << "file:///etc/hostname";
        QTest::newRow("resource") << "qrc:/Resources/close_normal.png";
        QTest::newRow("no host") << "http:///x";
        QTest::newRow("longer than the page view takes") << "http://h/" + QString(9000, 'a');
    }

    // What is not a web page, or too long a one, is not handed to a page view:
    // the agent shows the popup with a note instead.
    void pageRefused()
    {
        QFETCH(QString, url);
        MessageWindow* window =
            show(QStringLiteral("{\"messageFrom\":\"Url\",\"url\":\"%1\"}").arg(url));
        QVERIFY(window->findChild<QLabel*>("lblPageRefused"));
        QVERIFY(window->isVisible());
        window->close();
    }

    void notification_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<int>("expiry"); // ms, 0: until closed
        QTest::addColumn<QStringList>("actions");
        const auto timed = [](const char* seconds) {
            return QStringLiteral(R"({"title":"T","settings":[{"key":"timeout","value":"%1"}]})")
                .arg(seconds);
        };
        QTest::newRow("no timeout") << R"({"title":"T"})" << 0 << QStringList();
        QTest::newRow("6 s") << timed("6") << 6000 << QStringList();
        QTest::newRow("0 s") << timed("0") << 0 << QStringList();
        QTest::newRow("negative") << timed("-6") << 0 << QStringList();
        QTest::newRow("not a number") << timed("6s") << 0 << QStringList();
        QTest::newRow("past what fits") << timed("99999999999") << 2147483000 << QStringList();
        QTest::newRow("actions")
            << R"({"actions":[{"id":"1","action":"<b>Go</b>"},{"id":"2","action":"No"}]})" << 0
            << QStringList{"action-0", "Go", "action-1", "No"};
        QTest::newRow("page") << R"({"messageFrom":"Url","url":"https://e.org/"})" << 0
                              << QStringList{"default", "Open the page"};
    }

    // Where there is no screen, a message is a notification of the desktop's
    // service: its timeout in milliseconds, its actions named and labelled.
    void notification()
    {
        QFETCH(QString, json);
        if (QStandardPaths::findExecutable("dbus-daemon").isEmpty()) {
            QSKIP("no dbus-daemon");
        }
        PrivateBus bus;
        {
            NotificationOutput output(bus.agent);
            QCOMPARE(output.serverName(), QStringLiteral("fake 1"));
            PopupOutput::setCurrent(&output);
            MessageHandler sender;
            sender.handle(Message::fromJson(json));
            QTRY_COMPARE(bus.notes().size(), 1);
        }
        recordUrls(); // which the output had taken over
        const QVariantList note = bus.notes().first();
        QTEST(note.at(7).toInt(), "expiry");
        QTEST(note.at(5).toStringList(), "actions");
    }

public slots:
    /// Records a URL the desktop is asked to open, instead of opening it.
    void open(const QUrl& url) { urls << url.toString(); }

private:
    void recordUrls()
    {
        for (const char* scheme : {"http", "https", "mailto", "file", "smb", "zav", ""}) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
        }
    }
    /// A popup shown by a handler for a message read from its pipe form.
    MessageWindow* show(const QString& json)
    {
        handler.handle(Message::fromJson(json));
        auto windows = handler.findChildren<MessageWindow*>();
        return windows.isEmpty() ? nullptr : windows.last();
    }
    MessageHandler handler;
    QTemporaryDir files;
    QStringList urls; ///< the desktop was asked to open
};

QTEST_MAIN(TestPopup)
#include "tst_popup.moc"
