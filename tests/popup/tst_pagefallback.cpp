// A page-form popup when the page-view module cannot be found: the page's
// address is shown as a link, and the reason is logged.
#include "core/globals.h"
#include "app/logging.h"
#include "loopbackserver.h"
#include "message/message.h"
#include "popup/messagewindow.h"
#include "popup/pageviewfactory.h"

#include <QLabel>
#include <QPointer>
#include <QRegularExpression>
#include <QtTest>

class TestPageFallback : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void showsLinkAndLogsWhy();
};

void TestPageFallback::initTestCase()
{
    installMessagePattern();
    // Only this program's directory and the install directory are searched.
    for (const QString& dir : pageview::searchPaths()) {
        if (QFile::exists(QDir(dir).filePath(pageview::moduleFileName()))) {
            QSKIP("the page-view module is installed");
        }
    }
}

void TestPageFallback::showsLinkAndLogsWhy()
{
    UrlRecorder recorder;
    auto* msg = new Message();
    msg->messageForm = QStringLiteral("Url");
    msg->url = QStringLiteral(" http://a.b/?x=1&y=<2> ");
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression(QStringLiteral("page view not available.*"
                                                           "libzavpageview\\.so not found")));
    QPointer<MessageWindow> window = new MessageWindow(nullptr);
    window->setMessage(msg);
    window->popup();

    auto* link = window->findChild<QLabel*>(QStringLiteral("lblPageLink"));
    QVERIFY(link);
    QTRY_VERIFY(link->isVisible());
    QVERIFY(link->text().contains(QLatin1String("http://a.b/?x=1&amp;y=&lt;2&gt;")));
    QTest::mouseClick(link, Qt::LeftButton, {}, link->rect().center());
    QTRY_COMPARE(recorder.urls.size(), 1);
    QCOMPARE(recorder.urls.at(0), QUrl(msg->url.trimmed(), QUrl::TolerantMode));
    QVERIFY(window->isVisible()); // the popup stays
    delete window.data();
}

QTEST_MAIN(TestPageFallback)
#include "tst_pagefallback.moc"
