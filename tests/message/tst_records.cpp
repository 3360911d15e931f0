// The record types and their text forms: clients from the command line and
// from their text, messages from and to the pipe's JSON, the JSON guard, and
// when a reply read from the pipe is whole.
#include "message/client.h"
#include "message/jsontext.h"
#include "message/message.h"
#include "message/pipereply.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>
#include <vector>

using L = QStringList;

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void client_data();
    void client();
    void clientText();
    void message_data();
    void message();
    void messageText();
    void guard_data();
    void guard();
    void guardMemory_data();
    void guardMemory();
    void wholeReply_data();
    void wholeReply();
};

// A row reads a client from arguments (a list) or from a text, and names one
// member of its client text and the value expected there.
void TestRecords::client_data()
{
    QTest::addColumn<QVariant>("input");
    QTest::addColumn<QString>("expected"); // member=value
    QTest::newRow("no arguments") << QVariant(L{}) << QString("handle=auto");
    QTest::newRow("purchase 1") << QVariant(L{"-purchase", "1"}) << QString("purchase=Y");
    QTest::newRow("purchase 0") << QVariant(L{"-purchase", "0"}) << QString("purchase=N");
    QTest::newRow("purchase yes") << QVariant(L{"-purchase", "yes"}) << QString("purchase=");
    QTest::newRow("purchase last") << QVariant(L{"-uid", "u", "-purchase"}) << QString("purchase=");
    QTest::newRow("pid last") << QVariant(L{"-uid", "u", "-pid"}) << QString("pid=");
    QTest::newRow("handle") << QVariant(L{"-handle", "customize"}) << QString("handle=customize");
    QTest::newRow("handle empty") << QVariant(L{"-handle", ""}) << QString("handle=");
    QTest::newRow("version") << QVariant(L{"-productversion", "2.0"})
                             << QString("productVersion=2.0");
    QTest::newRow("properties sorted, later wins")
        << QVariant(L{"-properties", "b=2&a=1&b=3"}) << QString("properties=a=1&b=3");
    QTest::newRow("value ends at =")
        << QVariant(L{"-properties", "x=1=2"}) << QString("properties=x=1");
    QTest::newRow("properties twice")
        << QVariant(L{"-properties", "a=1", "-properties", "b=2"}) << QString("properties=a=1&b=2");
    QTest::newRow("pieces without =")
        << QVariant(L{"-properties", "&a&b=2&"}) << QString("properties=b=2");
    QTest::newRow("other case skipped") << QVariant(L{"-PID", "42"}) << QString("pid=");
    QTest::newRow("missing value shifts")
        << QVariant(L{"-pid", "-product", "P", "-mac"}) << QString("pid=-product");
    QTest::newRow("shifted name skipped")
        << QVariant(L{"-pid", "-product", "P", "-mac"}) << QString("product=");
    QTest::newRow("later wins") << QVariant(L{"-uid", "a", "-uid", "b"}) << QString("uid=b");
    QTest::newRow("text: not JSON") << QVariant("{pid") << QString("handle=auto");
    QTest::newRow("text: top array") << QVariant(R"([{"pid":"1"}])") << QString("pid=");
    QTest::newRow("text: number") << QVariant(R"({"pid":42})") << QString("pid=");
    QTest::newRow("text: no handle") << QVariant(R"({"pid":"1"})") << QString("handle=auto");
    QTest::newRow("text: empty handle") << QVariant(R"({"handle":""})") << QString("handle=");
    QTest::newRow("text: purchase as is")
        << QVariant(R"({"purchase":"1"})") << QString("purchase=1");
    QTest::newRow("text: ukey") << QVariant(R"({"ukey":"k"})") << QString("ukey=k");
    QTest::newRow("text: properties")
        << QVariant(R"({"properties":"b=2&a=1"})") << QString("properties=a=1&b=2");
    QTest::newRow("text: repeated key, last wins")
        << QVariant(R"({"pid":"1","x":{"y":[1]},"pid":"2","x":0})") << QString("pid=2");
}

void TestRecords::client()
{
    QFETCH(QVariant, input);
    QFETCH(QString, expected);
    const QString member = expected.section('=', 0, 0);
    const QString value = expected.section('=', 1);
    std::unique_ptr<Client> client;
    if (input.type() == QVariant::StringList) {
        std::vector<QByteArray> args{"agent"};
        for (const QString& arg : input.toStringList()) {
            args.push_back(arg.toLocal8Bit());
        }
        std::vector<char*> argv;
        for (QByteArray& arg : args) {
            argv.push_back(arg.data());
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

void TestRecords::clientText()
{
    Client client(R"({"pid":"42","product":"P","mac":"M"})");
    QCOMPARE(client.toJson(),
             R"({"handle":"auto","mac":"M","pid":"42","product":"P",)"
             R"("productVersion":"","properties":"","purchase":"","uid":"","ukey":""})");
}

// A row is the object "PopupMessage:" carries and the members expected in the
// message's written form (all others empty).
void TestRecords::message_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    QTest::newRow("not JSON") << "{title" << QString("{}");
    QTest::newRow("top array") << R"([{"title":"T"}])" << QString("{}");
    QTest::newRow("form read from messageFrom")
        << R"({"messageFrom":"Url","url":"U"})" << QString(R"({"messageForm":"Url","url":"U"})");
    QTest::newRow("messageForm not read") << R"({"messageForm":"Url"})" << QString("{}");
    QTest::newRow("uuid not read") << R"({"uuid":"m1","title":"T"})" << QString(R"({"title":"T"})");
    QTest::newRow("title a number") << R"({"title":5,"summary":"S","authorName":"A"})"
                                    << QString(R"({"summary":"S","authorName":"A"})");
    QTest::newRow("settings sorted, later wins")
        << R"({"settings":[{"key":"w","value":"1"},{"key":"a","value":"2"},{"key":"w","value":"3"}]})"
        << QString(R"({"settings":[{"key":"a","value":"2"},{"key":"w","value":"3"}]})");
    QTest::newRow("setting not an object")
        << R"({"settings":[5]})" << QString(R"({"settings":[{"key":"","value":""}]})");
    QTest::newRow("settings not an array") << R"({"settings":{"a":"1"}})" << QString("{}");
    QTest::newRow("actions in order")
        << R"({"actions":[{"id":"2","action":"B","url":"u"},7]})"
        << QString(
               R"({"actions":[{"action":"B","id":"2","url":"u"},{"action":"","id":"","url":""}]})");
}

void TestRecords::message()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    std::unique_ptr<Message> m(Message::fromJson(input));
    QJsonObject want{{"actions", QJsonArray()},
                     {"authorName", ""},
                     {"messageForm", ""},
                     {"settings", QJsonArray()},
                     {"summary", ""},
                     {"title", ""},
                     {"url", ""},
                     {"uuid", ""}};
    const QJsonObject overrides = QJsonDocument::fromJson(expected.toUtf8()).object();
    for (auto it = overrides.begin(); it != overrides.end(); ++it) {
        want.insert(it.key(), it.value());
    }
    QCOMPARE(Message::listToJson({m.get()}),
             QJsonDocument(QJsonArray{want}).toJson(QJsonDocument::Compact));
    QCOMPARE(m->actions.size(), m->findChildren<MessageAction*>().size());
}

void TestRecords::messageText()
{
    QCOMPARE(Message::listToJson({}), QStringLiteral("[]"));
    Message m;
    QCOMPARE(Message::listToJson({&m, &m}),
             R"([{"actions":[],"authorName":"","messageForm":"","settings":[],"summary":"",)"
             R"("title":"","url":"","uuid":""},{"actions":[],"authorName":"","messageForm":"",)"
             R"("settings":[],"summary":"","title":"","url":"","uuid":""}])");
    // The written array is not an object: read back, it is an empty message.
    std::unique_ptr<Message> back(Message::fromJson(Message::listToJson({&m})));
    QVERIFY(back->title.isEmpty() && back->settings.isEmpty());
}

// The guard reads JSON like Qt's parser, but a repeated key keeps its last
// value and nothing is dropped (and leaked) by the parser.
void TestRecords::guard_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // compact, or "error"
    QTest::newRow("plain") << QByteArray(R"({"a":1})") << QByteArray(R"({"a":1})");
    QTest::newRow("last wins") << QByteArray(R"({"a":{"x":[1]},"b":2,"a":[3]})")
                               << QByteArray(R"({"a":[3],"b":2})");
    QTest::newRow("nested repeats")
        << QByteArray(R"([{"k":{"k":1,"k":2},"k":{"k":3}}])") << QByteArray(R"([{"k":{"k":3}}])");
    QTest::newRow("escaped key repeats")
        << QByteArray(R"({"a":1,"\u0061":2})") << QByteArray(R"({"a":2})");
    QTest::newRow("fault inside a replaced member")
        << QByteArray(R"({"a":{"x":tru},"a":1})") << QByteArray("error");
    QTest::newRow("fault after a repeat")
        << QByteArray(R"({"a":[],"a":{}} x)") << QByteArray("error");
    QByteArray many = "{";
    for (int i = 0; i < 40; ++i) {
        many += "\"k" + QByteArray::number(i % 20) + "\":" + QByteArray::number(i) + ",";
    }
    many.chop(1);
    QTest::newRow("more than 16 members")
        << many + "}"
        << QByteArray(
               R"({"k0":20,"k1":21,"k10":30,)"
               R"("k11":31,"k12":32,"k13":33,"k14":34,"k15":35,"k16":36,"k17":37,"k18":38,"k19":39,)"
               R"("k2":22,"k3":23,"k4":24,"k5":25,"k6":26,"k7":27,"k8":28,"k9":29})");
    QTest::newRow("deep nesting") << QByteArray(5000, '[') << QByteArray("error");
}

void TestRecords::guard()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(input, &error);
    QCOMPARE(error.error == QJsonParseError::NoError ? doc.toJson(QJsonDocument::Compact)
                                                     : QByteArray("error"),
             expected);
}

/// A figure of this process's memory from /proc/self/status, in bytes.
static qint64 memory(const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    const QByteArray text = status.readAll();
    return text.mid(text.indexOf(key + ':') + key.size() + 1)
               .trimmed()
               .split(' ')
               .first()
               .toLongLong() *
           1024;
}

void TestRecords::guardMemory_data()
{
    QTest::addColumn<QByteArray>("input"); // 4 MiB
    QTest::addColumn<int>("most");         // peak memory, in multiples of the input
    QTest::newRow("brackets") << QByteArray(4 << 20, '[') << 2;
    QByteArray repeated = "{";
    while (repeated.size() < (4 << 20)) {
        repeated += "\"a\":1,";
    }
    repeated[repeated.size() - 1] = '}';
    QTest::newRow("one key, repeated") << repeated << 24; // Qt alone: 10
}

void TestRecords::guardMemory()
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

void TestRecords::wholeReply_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("whole");
    QTest::newRow("nothing yet") << QByteArray() << false;
    QTest::newRow("OK") << QByteArray("OK") << true;
    QTest::newRow("count") << QByteArray("0") << true;
    QTest::newRow("empty list") << QByteArray("[]") << true;
    QTest::newRow("half a list") << QByteArray(R"([{"title":"a]"},)") << false;
    QTest::newRow("bracket in a string") << QByteArray(R"([{"title":"]\"["}])") << true;
    QTest::newRow("text after the list") << QByteArray(R"([{"title":"a"}] x)") << false;
}

void TestRecords::wholeReply()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, whole);
    QCOMPARE(isWholeReply(reply), whole);
    PipeReply pieces; // as it may arrive: byte by byte
    for (const char c : reply) {
        pieces.add(QByteArray(1, c));
    }
    QCOMPARE(pieces.isWhole(), whole);
}

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
