// The record types and their text forms: clients from the command line and
// from their text, messages from and to the pipe's JSON, the JSON guard, and
// the page view's frames.
#include "message/client.h"
#include "message/jsontext.h"
#include "message/limits.h"
#include "message/message.h"
#include "message/pageframe.h"

#include <QtTest>

#include <deque>
#include <memory>
#include <vector>

using L = QStringList;

/// A figure of this process's memory from /proc/self/status, in bytes.
static qint64 memory(const QString& key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QRegularExpression figure(key + ":\\s*(\\d+)");
    return figure.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong() * 1024;
}

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    // A row reads a client from arguments (a list) or from a text, and names one
    // member of its client text and the value expected there.
    void client_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("expected"); // member=value
        const auto row = [](const char* name, const QVariant& input, const char* expected) {
            QTest::newRow(name) << input << QString(expected);
        };
        row("no arguments", L{}, "handle=auto");
        row("purchase 1", L{"-purchase", "1"}, "purchase=Y");
        row("purchase 0", L{"-purchase", "0"}, "purchase=N");
        row("purchase yes", L{"-purchase", "yes"}, "purchase=");
        row("pid last", L{"-uid", "u", "-pid"}, "pid=");
        row("handle", L{"-handle", "customize"}, "handle=customize");
        row("handle empty", L{"-handle", ""}, "handle=");
        row("version", L{"-productversion", "2.0"}, "productVersion=2.0");
        row("properties sorted, later wins", L{"-properties", "b=2&a=1&b=3"}, "properties=a=1&b=3");
        row("value ends at =", L{"-properties", "x=1=2"}, "properties=x=1");
        row("properties twice", L{"-properties", "a=1", "-properties", "b=2"},
            "properties=a=1&b=2");
        row("pieces without =", L{"-properties", "&a&b=2&"}, "properties=b=2");
        row("other case skipped", L{"-PID", "42"}, "pid=");
        row("missing value shifts", L{"-pid", "-product", "P", "-mac"}, "pid=-product");
        row("shifted name skipped", L{"-pid", "-product", "P", "-mac"}, "product=");
        row("later wins", L{"-uid", "a", "-uid", "b"}, "uid=b");
        row("text: not JSON", "{pid", "handle=auto");
        row("text: top array", R"([{"pid":"1"}])", "pid=");
        row("text: number", R"({"pid":42})", "pid=");
        row("text: no handle", R"({"pid":"1"})", "handle=auto");
        row("text: empty handle", R"({"handle":""})", "handle=");
        row("text: purchase as is", R"({"purchase":"1"})", "purchase=1");
        row("text: ukey", R"({"ukey":"k"})", "ukey=k");
        row("text: properties", R"({"properties":"b=2&a=1"})", "properties=a=1&b=2");
        row("text: repeated key, last wins", R"({"pid":"1","x":{"y":[1]},"pid":"2","x":0})",
            "pid=2");
    }

    void client()
    {
        QFETCH(QVariant, input);
        QFETCH(QString, expected);
        const QString member = expected.section('=', 0, 0);
        const QString value = expected.section('=', 1);
        std::unique_ptr<Client> client;
        if (input.type() == QVariant::StringList) {
            std::deque<QByteArray> args{"agent"}; // where they stay while the client reads them
            std::vector<char*> argv{args.front().data()};
            for (const QString& arg : input.toStringList()) {
                argv.push_back(args.emplace_back(arg.toLocal8Bit()).data());
            }
            argv.push_back(nullptr);
            client = std::make_unique<Client>(int(args.size()), argv.data());
        } else {
            client = std::make_unique<Client>(input.toString());
        }
        const QJsonObject text = QJsonDocument::fromJson(client->toJson().toUtf8()).object();
        QCOMPARE(text.value(member).toString(), value);
        // What a client writes, a client reads back unchanged.
        QCOMPARE(Client(client->toJson()).toJson(), client->toJson());
    }

    // A row is the object "PopupMessage:" carries and the members expected in the
    // message's written form (all others empty).
    void message_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("not JSON") << "{title" << QString("{}");
        QTest::newRow("top array") << R"([{"title":"T"}])" << QString("{}");
        QTest::newRow("form read from messageFrom")
            << R"({"messageFrom":"Url","url":"U"})"
            << QString(R"({"messageForm":"Url","url":"U"})");
        QTest::newRow("messageForm not read") << R"({"messageForm":"Url"})" << QString("{}");
        QTest::newRow("uuid not read")
            << R"({"uuid":"m1","title":"T"})" << QString(R"({"title":"T"})");
        QTest::newRow("title a number") << R"({"title":5,"summary":"S","authorName":"A"})"
                                        << QString(R"({"summary":"S","authorName":"A"})");
        QTest::newRow("settings sorted, later wins")
            << R"({"settings":[{"key":"w","value":"1"},{"key":"a","value":"2"},{"key":"w","value":"3"}]})"
            << QString(R"({"settings":[{"key":"a","value":"2"},{"key":"w","value":"3"}]})");
        QTest::newRow("setting not an object")
            << R"({"settings":[5]})" << QString(R"({"settings":[{"key":"","value":""}]})");
        QTest::newRow("settings not an array") << R"({"settings":{"a":"1"}})" << QString("{}");
        QJsonArray actions, settings, keptActions, keptSettings; // one more of each than kept
        for (int i = 0; i <= limits::maxSettings; ++i) {
            const QString n = QString::number(100 + i);
            const QString label = i == 0 ? QString(150, 'x') : n;
            actions.append(QJsonObject{{"id", n}, {"action", label}});
            settings.append(QJsonObject{{"key", n}, {"value", n}});
            if (i < limits::maxActions) {
                keptActions.append(QJsonObject{
                    {"action", label.left(limits::maxLabelLength)}, {"id", n}, {"url", ""}});
            }
            if (i < limits::maxSettings) {
                keptSettings.append(QJsonObject{{"key", n}, {"value", n}});
            }
        }
        const auto text = [](const QJsonObject& o) { return QString(QJsonDocument(o).toJson()); };
        QTest::newRow("past the caps")
            << text({{"actions", actions}, {"settings", settings}})
            << text({{"actions", keptActions}, {"settings", keptSettings}});
        QTest::newRow("actions in order")
            << R"({"actions":[{"id":"2","action":"B","url":"u"},7]})"
            << QString(
                   R"({"actions":[{"action":"B","id":"2","url":"u"},{"action":"","id":"","url":""}]})");
    }

    void message()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        std::unique_ptr<Message> m(Message::fromJson(input));
        QJsonObject want =
            QJsonDocument::fromJson(R"({"actions":[],"authorName":"","messageForm":"",)"
                                    R"("settings":[],"summary":"","title":"","url":"",)"
                                    R"("uuid":""})")
                .object();
        const QJsonObject overrides = QJsonDocument::fromJson(expected.toUtf8()).object();
        for (auto it = overrides.begin(); it != overrides.end(); ++it) {
            want.insert(it.key(), it.value());
        }
        QCOMPARE(Message::listToJson({m.get()}),
                 QJsonDocument(QJsonArray{want}).toJson(QJsonDocument::Compact));
        QCOMPARE(m->actions.size(), m->findChildren<MessageAction*>().size());
    }

    // The guard reads JSON like Qt's parser, but a repeated key keeps its last
    // value and nothing is dropped (and leaked) by the parser.
    void guard_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected"); // compact, or "error"
        QTest::addColumn<int>("cap");             // of every array, 0: none
        const auto row = [](const char* name, const QByteArray& input, const QByteArray& expected,
                            int cap = 0) { QTest::newRow(name) << input << expected << cap; };
        row("plain", R"({"a":1})", R"({"a":1})");
        row("last wins", R"({"a":{"x":[1]},"b":2,"a":[3]})", R"({"a":[3],"b":2})");
        row("nested repeats", R"([{"k":{"k":1,"k":2},"k":{"k":3}}])", R"([{"k":{"k":3}}])");
        row("escaped key repeats", R"({"a":1,"\u0061":2})", R"({"a":2})");
        row("fault inside a replaced member", R"({"a":{"x":tru},"a":1})", "error");
        row("fault after a repeat", R"({"a":[],"a":{}} x)", "error");
        QByteArray many = "{";
        QJsonObject last; // each key's last value
        for (int i = 0; i < 40; ++i) {
            many += "\"k" + QByteArray::number(i % 20) + "\":" + QByteArray::number(i) + ",";
            last.insert(QStringLiteral("k%1").arg(i % 20), i);
        }
        many.chop(1);
        row("more than 16 members", many + "}", QJsonDocument(last).toJson(QJsonDocument::Compact));
        row("deep nesting", QByteArray(5000, '['), "error");
        // Past its cap an array is not read: nothing there is built, or even seen.
        row("arrays cut", "[[1,2,3],{\"a\":[\"]\",\",\",[4]]},5,nope]",
            "[[1,2],{\"a\":[\"]\",\",\"]}]", 2);
        row("repeats cut", "{\"a\":[1,2,3],\"a\":[4,5,6]}", "{\"a\":[4,5]}", 2);
        row("cut, never closed", "[1,2,3", "error", 2);
    }

    void guard()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        QFETCH(int, cap);
        QJsonParseError error{};
        const QJsonDocument doc = parseJson(input, &error, cap);
        QCOMPARE(error.error == QJsonParseError::NoError ? doc.toJson(QJsonDocument::Compact)
                                                         : QByteArray("error"),
                 expected);
    }

    void guardMemory_data()
    {
        QTest::addColumn<QByteArray>("input"); // 4 MiB
        QTest::addColumn<int>("most");         // peak memory, in multiples of the input
        QTest::newRow("brackets") << QByteArray(4 << 20, '[') << 2;
        QByteArray repeated = "{" + QByteArray(R"("a":1,)").repeated((4 << 20) / 6);
        repeated[repeated.size() - 1] = '}';
        QTest::newRow("one key, repeated") << repeated << 24; // Qt alone: 10
    }

    void guardMemory()
    {
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizer's allocator keeps what is freed");
#endif
        QFETCH(QByteArray, input);
        QFETCH(int, most);
        QFile refs(QStringLiteral("/proc/self/clear_refs"));
        QVERIFY(refs.open(QIODevice::WriteOnly) && refs.write("5") == 1); // resets the peak
        refs.close();
        const qint64 before = memory("VmRSS");
        parseJson(input);
        QVERIFY2(memory("VmHWM") - before <= qint64(most) * input.size(),
                 qPrintable(QString::number((memory("VmHWM") - before) / double(input.size()))));
    }

    void pageFrames_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("frames"); // whole ones read before the end or the break
        QTest::addColumn<bool>("broken");
        const QByteArray ping = pageframe::Writer(pageframe::Ping).number(7).frame();
        const auto length = [](quint32 n) {
            char bytes[4];
            qToBigEndian(n, bytes);
            return QByteArray(bytes, 4);
        };
        const int most = limits::maxPageFrame;
        QTest::newRow("two") << ping + ping << 2 << false;
        QTest::newRow("one and a half") << ping + ping.left(6) << 1 << false;
        QTest::newRow("the longest")
            << length(most) + char(pageframe::Ping) + QByteArray(most - 1, 'x') + ping << 2
            << false;
        QTest::newRow("longer: broken") << ping + length(most + 1) + ping << 1 << true;
        QTest::newRow("empty: broken") << length(0) + ping << 0 << true;
    }

    // The channel splits into frames however its bytes arrive.
    void pageFrames()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, frames);
        QFETCH(bool, broken);
        for (const int piece : {1, 5, int(stream.size())}) {
            pageframe::Reader reader;
            pageframe::Frame frame;
            int read = 0;
            for (int at = 0; at < stream.size(); at += piece) {
                reader.add(stream.mid(at, piece));
                while (reader.next(&frame)) {
                    QCOMPARE(frame.type, quint8(pageframe::Ping));
                    ++read;
                }
            }
            QCOMPARE(read, frames);
            QCOMPARE(reader.broken(), broken);
        }
    }

    // Fields read back as written; a long text is cut before a surrogate pair
    // rather than inside it; a field that is not all there reads as nothing.
    void pageFields()
    {
        const QString cut(limits::maxPageText - 1, QLatin1Char('a'));
        const QByteArray frame = pageframe::Writer(pageframe::Open)
                                     .text(QStringLiteral("发送者"))
                                     .number(-5)
                                     .text(cut + QStringLiteral("\U0001F600"))
                                     .frame();
        pageframe::Fields fields(frame.mid(5));
        QCOMPARE(fields.text(), QStringLiteral("发送者"));
        QCOMPARE(fields.number(), -5);
        QCOMPARE(fields.text(), cut);
        QVERIFY(fields.ok());
        QCOMPARE(fields.number(), 0);
        QVERIFY(!fields.ok());
        pageframe::Fields claimsMore(QByteArray("\x7f\xff\xff\xff"
                                                "ab",
                                                6));
        QCOMPARE(claimsMore.text(), QString());
        QVERIFY(!claimsMore.ok());
    }
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"