// Popups of every handler sharing a real X screen: stacks at each corner, the
// cap and the wait, expiry, what long titles and labels become, and the heap
// handed back once the last popup has gone.
#include "logcapture.h"
#include "message/message.h"
#include "popup/messagehandler.h"
#include "popup/messagewindow.h"
#include "xsession.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QtTest>

#include <dlfcn.h>
#include <malloc.h>

/// Calls of the allocator's release of free heap to the system.
static int trims = 0;
extern "C" int malloc_trim(size_t pad) noexcept
{
    ++trims;
    static const auto real = reinterpret_cast<int (*)(size_t)>(dlsym(RTLD_NEXT, "malloc_trim"));
    return real ? real(pad) : 0;
}

static Message* message(const QString& title, const QMap<QString, QString>& settings,
                        const QStringList& labels = {})
{
    auto* msg = new Message();
    msg->title = title;
    msg->settings = settings;
    for (const QString& label : labels) {
        (msg->actions << new MessageAction(msg)).last()->action = label;
    }
    return msg;
}

const auto area = [] { return QGuiApplication::primaryScreen()->availableGeometry(); };
const auto titleOf = [](const QWidget* w) { return w->findChild<QLabel*>("lblTitle")->text(); };

/// Visible popups, resting in place, by their number titles.
static QList<MessageWindow*> resting()
{
    QMap<int, MessageWindow*> byTitle;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* w = qobject_cast<MessageWindow*>(window);
        if (w && w->isVisible() && w->pos() == w->restPosition()) {
            byTitle.insert(titleOf(w).toInt(), w);
        }
    }
    return byTitle.values();
}

class TestPopupStack : public QObject
{
    Q_OBJECT

private slots:
    void stack_data()
    {
        QTest::addColumn<QString>("position");
        for (const char* position :
             {"bottom right", "bottom left", "top right", "left top", "center"}) {
            QTest::addRow("%s x3, middle closed", position) << position;
        }
    }

    // Each popup rests clear of the others, the first at the corner, each next
    // one just beyond the one before, toward the middle; the ones after a closed
    // one move in. Messages alternate between two handlers. Once the last has
    // closed, the heap that popups leave behind goes back to the system.
    void stack()
    {
        QFETCH(QString, position);
        const int count = 3;
        MessageHandler a, b;
        for (int i = 0; i < count; ++i) {
            (i % 2 ? b : a)
                .handle(message(QString::number(i), {{"position", position}, {"height", "150"}}));
        }
        const bool up = position.contains("bottom"), right = position.contains("right");
        const auto check = [&](int n) {
            QTRY_COMPARE(resting().size(), n);
            const QList<MessageWindow*> w = resting();
            const QRect first = w.at(0)->geometry();
            const QPoint corner(right ? area().right() : area().left(),
                                up ? area().bottom() : area().top());
            QVERIFY(area().contains(first) &&
                    (position == "center"
                         ? (first.center() - area().center()).manhattanLength() <= 2
                         : first.contains(corner)));
            for (int i = 1; i < n; ++i) {
                const QRect prev = w.at(i - 1)->geometry(), next = w.at(i)->geometry();
                const int gap = up ? prev.top() - next.bottom() : next.top() - prev.bottom();
                QVERIFY(gap > 0 && gap <= 10 && area().contains(next));
            }
        };
        check(count);
        QPointer<MessageWindow> closed = resting().at(1);
        trims = 0;
        closed->close();
        QTRY_VERIFY(!closed);
        check(count - 1);
        QCOMPARE(trims, 0);
        for (QPointer<MessageWindow> w : resting()) { // one after the other
            w->close();
            QTRY_VERIFY(!w);
        }
        QTRY_COMPARE(trims, 1);
    }

    // At most 10 on screen; the rest wait in order and come as others close;
    // past 8 MB of text waiting, new ones are dropped. Sizes are clamped to the screen.
    void capAndWait()
    {
        LogCapture log;
        MessageHandler a, b;
        a.handle(message("huge", {{"width", "16000"}, {"height", "16000"}}));
        QTRY_COMPARE(resting().size(), 1);
        QCOMPARE(resting().at(0)->geometry(), area());
        resting().at(0)->close();
        QTRY_VERIFY(a.findChildren<MessageWindow*>().isEmpty());
        for (int i = 0; i < 25; ++i) { // 800 KB of text each: 10 fit in the wait
            Message* m = message(QString::number(i), {{"height", "50"}});
            // In words: Qt lays a line without a break out in quadratic time
            // (seconds for the 100,000 characters a popup shows).
            m->summary = QString("word ").repeated(80000);
            (i % 2 ? b : a).handle(m);
        }
        QTRY_COMPARE(resting().size(), 10);
        resting().at(4)->close();
        QTRY_COMPARE(titleOf(resting().constLast()), QStringLiteral("10"));
        QCOMPARE(log.count("too many messages waiting"), 5);
        QVERIFY(log.with("too many messages waiting").first().endsWith("\"20\""));
    }

    // "timeout" closes a popup after that many seconds, not while the pointer is
    // over it; other values leave it open.
    void expiry()
    {
        QElapsedTimer clock;
        clock.start();
        MessageHandler h;
        h.handle(message("1", {{"timeout", "1"}, {"position", "left top"}}));
        h.handle(message("2", {{"timeout", "1"}, {"position", "top right"}}));
        h.handle(message("3", {{"timeout", "0"}, {"position", "bottom left"}})); // stays
        QTRY_COMPARE(resting().size(), 3);
        QPointer<MessageWindow> timed = resting().at(0), hovered = resting().at(1);
        QEvent enter(QEvent::Enter), leave(QEvent::Leave);
        QApplication::sendEvent(hovered, &enter);
        QTRY_VERIFY_WITH_TIMEOUT(!timed, 3000);
        QVERIFY(clock.elapsed() >= 900); // a coarse timer may fire 5 % early
        QVERIFY(!QTest::qWaitFor([&] { return hovered.isNull(); }, 500)); // the hovered one stays
        QApplication::sendEvent(hovered, &leave);
        QTRY_VERIFY_WITH_TIMEOUT(!hovered, 3000);
        QCOMPARE(resting().size(), 1);
    }

    // A long title shows its start; buttons never cut their labels: they wrap
    // into more rows, and a label too long even for a row shows its start.
    void longTexts()
    {
        const QString title = "Your storage is almost full: 9.6 GB of 10 GB are used already";
        const QStringList labels{"Remind me later", "Upgrade now", "Never ask again",
                                 "Upgrade " + QString("now and get more ").repeated(5)};
        MessageHandler h;
        h.handle(message(title, {{"position", "center"}}, labels));
        QTRY_COMPARE(resting().size(), 1);
        MessageWindow* w = resting().at(0);
        auto* label = w->findChild<QLabel*>("lblTitle");
        const QString shown = label->text();
        QVERIFY(title.startsWith(shown.chopped(1)) && shown.endsWith(QChar(0x2026)) &&
                label->toolTip().contains(title));
        QVERIFY(label->fontMetrics().horizontalAdvance(shown) <= label->width());
        const auto buttons = w->findChildren<QPushButton*>(QRegularExpression("^btn$"));
        QCOMPARE(buttons.size(), labels.size());
        for (QPushButton* button : buttons) {
            QVERIFY(w->rect().contains(QRect(button->mapTo(w, {}), button->size())));
            QVERIFY(button->fontMetrics().horizontalAdvance(button->text()) <= button->width());
            QVERIFY(labels.indexOf(button->text()) >= 0 ||
                    button->toolTip().contains(labels.last()));
        }
    }
};

// Real windows on a private X server when there is one, offscreen otherwise.
XSession x;
[[maybe_unused]] const bool onX = XSession::available() && x.start() &&
                                  qputenv("DISPLAY", x.display.toLocal8Bit()) &&
                                  qputenv("QT_QPA_PLATFORM", "xcb");
QTEST_MAIN(TestPopupStack)
#include "tst_popupx11.moc"
