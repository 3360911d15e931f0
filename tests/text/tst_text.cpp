// Untrusted rich text made safe and bounded: the allow-list filter, the
// markup for a notification service, and the layout budget.
#include "logcapture.h"
#include "text/htmlfilter.h"
#include "text/safetext.h"

#include <QLabel>
#include <QtTest>

class TestText : public QObject
{
    Q_OBJECT

private slots:
    void notificationMarkup_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("links");
        QTest::addColumn<QString>("markup");
        QTest::newRow("plain, escaped") << "a < b & c" << true << "a &lt; b &amp; c";
        QTest::newRow("styles") << "<b>B</b> <i>I</i> <u>U</u> <span style='color:red'>x</span>"
                                << false << "<b>B</b> <i>I</i> <u>U</u> x";
        QTest::newRow("web link") << "<a href='https://e.org/a b'>go</a>" << true
                                  << "<a href=\"https://e.org/a%20b\">go</a>";
        QTest::newRow("links not read") << "<a href='https://e.org/'>go</a>" << false << "go";
        QTest::newRow("file link") << "<a href='file:///etc/passwd'>go</a>" << true << "go";
        QTest::newRow("paragraphs, list, image")
            << "<p>one</p><p>t&lt;wo<img src='/dev/zero'></p><ul><li>item</li></ul>" << true
            << "one\nt&lt;wo\n\u2022 item";
    }

    // Message text for a notification service: only what it reads, and no
    // link that the agent itself would not open.
    void notificationMarkup()
    {
        QFETCH(QString, text);
        QFETCH(bool, links);
        QTEST(safetext::notificationMarkup(text, links), "markup");
    }

    // A row is a text and the markup the filter lets through, or "plain:" and
    // the plain text shown instead.
    void textFilter_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const auto row = [](const char* text, const char* shown) {
            QTest::newRow(text) << QString(text) << QString(shown);
        };
        row("<table cellpadding=100000000 border=-1 cellspacing=7px><tr><td colspan=60000 "
            "rowspan=0>x",
            "<table cellpadding=\"256\" cellspacing=\"7\"><tr><td colspan=\"64\" "
            "rowspan=\"1\">x</td>"
            "</tr></table>");
        row("<p style=\"margin:1e9px;margin-left:100000px;padding:5pt 99999em;line-height:99999;"
            "text-indent:-5px;color:red;background:url(/x);-qt-block-indent:99;font-size:3000pt\">",
            "<p style=\"margin-left:256px;padding:5pt 16em;line-height:256px;color:red;"
            "font-size:48pt\"></p>");
        row("<img width=99999 height=50% src=x title=t><hr width=200%><font size=9 face='a;b'>",
            "<img width=\"4096\" height=\"50%\" src=\"x\"><hr width=\"100%\"><font></font>");
        row("<ol start=99999999999 type=X><li>a<li>b</ol>",
            "<ol start=\"99999\"><li>a</li><li>b</li></ol>");
        row("<p style=\"margin&#58;100000px\">x</p><a href='x\" y'>l</a>",
            "<p style=\"margin:256px\">x</p><a href=\"x&quot; y\">l</a>");
        row("<script>1</script><style>p{}</style><blink>b</blink><!-- c -->&lt; <3", "b&lt; &lt;3");
        row("<b><i>x</b>y<td>z<table><td>c<tr><th>d</table>e",
            "<b><i>x</i></b>yz<table><tr><td>c</td></tr><tr><th>d</th></tr></table>e");
        row("<table><tr>x<table><tr><td>y<ul><dt>z</dt></ul>", // else Qt makes tables of its own
            "<table><tr></tr><tr><td>y<ul>z</ul></td></tr></table>");
        row("<table><tr><td>a<table><tr><td>b<table><tr><td>c", "plain:a\nb\nc");
        const QByteArray cells = "<table><tr><td><table>" + // 512 cells, within a table: twice
                                 QByteArray("<tr>" + QByteArray("<td>").repeated(32)).repeated(16);
        row(cells, "plain:");
        const QByteArray deep = QByteArray("<div>").repeated(257) + "x";
        row(deep, "plain:x");
        const QByteArray images = QByteArray("<img src=a>").repeated(257) + "x";
        row(images, "plain:x");
        // URLs of 2,048 characters at most, but for images written into the text
        // (data:), which their own caps bound.
        const QByteArray data2049 = "data:image/png;base64," + QByteArray(2027, 'A');
        row("<img src=" + data2049 + "><a href=https://e.org/?" + data2049 + ">x</a>",
            "<img src=\"" + data2049 + "\"><a>x</a>");
    }

    void textFilter()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        const htmlfilter::Filtered filtered = htmlfilter::filter(text);
        QCOMPARE(filtered.rich ? filtered.html : "plain:" + filtered.plain, shown);
    }

    // A text not ready within the layout budget is shown as its plain text.
    void layoutBudget()
    {
        QLabel label;
        SafeTextBrowser browser;
        LogCapture log;
        // Within the limits, but tens of milliseconds of layout: the main
        // thread looks at the layouts' time every 10 ms.
        const QString cells =
            "<table>" +
            QString("<tr>" + QString("<td>" + QString(38, 'x')).repeated(31)).repeated(32);
        safetext::TextBatch texts;
        texts.add(&label, "<b>" + cells);
        texts.add(&browser, "<i>" + cells);
        texts.show(1);
        QCOMPARE(label.textFormat(), Qt::PlainText);
        QCOMPARE(label.text(), htmlfilter::filter("<b>" + cells).plain);
        QCOMPARE(browser.toHtml().contains("italic"), false);
        QCOMPARE(log.count("text shown as plain text: not laid out within 1 ms"), 2);
        QTRY_COMPARE(safetext::lateLayouts(), 0);
    }
};

QTEST_MAIN(TestText)
#include "tst_text.moc"
