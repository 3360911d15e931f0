// The client record: command-line grammar, client text reader and writer.
#include "core/clientpool.h"
#include "core/globals.h"
#include "app/logging.h"
#include "message/message.h"

#include <QtTest>

#include <vector>

namespace {

/// An argument vector as the program entry gives it: entry 0 is the program,
/// entry argc is a null pointer.
class ArgVector
{
public:
    explicit ArgVector(const QStringList& args)
    {
        storage.append(QByteArrayLiteral("zav-msg-agent"));
        for (const QString& a : args) {
            storage.append(a.toUtf8());
        }
        for (QByteArray& b : storage) {
            pointers.push_back(b.data());
        }
        pointers.push_back(nullptr);
    }
    int argc() const { return int(pointers.size()) - 1; }
    char** argv() { return pointers.data(); }

private:
    QList<QByteArray> storage;
    std::vector<char*> pointers;
};

/// The properties written the way the client text writes them.
QString joined(const QMap<QString, QString>& map)
{
    QStringList pairs;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        pairs << it.key() + QLatin1Char('=') + it.value();
    }
    return pairs.join(QLatin1Char('&'));
}

/// Every field of a client that travels in the client text, one line each.
QStringList fields(const Client& c)
{
    return {QStringLiteral("uid=") + c.uid,
            QStringLiteral("mac=") + c.mac,
            QStringLiteral("product=") + c.product,
            QStringLiteral("ukey=") + c.ukey,
            QStringLiteral("productVersion=") + c.productVersion,
            QStringLiteral("purchase=") + c.purchase,
            QStringLiteral("pid=") + c.pid,
            QStringLiteral("handle=") + c.handle,
            QStringLiteral("properties=") + joined(c.properties)};
}

/// The expected fields: the values at construction, overridden by "name=value" items.
QStringList expected(const QStringList& overrides)
{
    QMap<QString, QString> values{{"uid", ""},
                                  {"mac", ""},
                                  {"product", ""},
                                  {"ukey", ""},
                                  {"productVersion", ""},
                                  {"purchase", ""},
                                  {"pid", ""},
                                  {"handle", "auto"},
                                  {"properties", ""}};
    for (const QString& o : overrides) {
        const int eq = o.indexOf(QLatin1Char('='));
        values[o.left(eq)] = o.mid(eq + 1);
    }
    QStringList out;
    for (const char* name : {"uid", "mac", "product", "ukey", "productVersion", "purchase", "pid",
                             "handle", "properties"}) {
        out << QString::fromLatin1(name) + QLatin1Char('=') + values.value(QLatin1String(name));
    }
    return out;
}

/// Sets members from "name=value" items; "properties" takes "k=v&k=v".
void setFields(Client& c, const QStringList& items)
{
    QString* members[] = {&c.uid,      &c.mac, &c.product, &c.ukey, &c.productVersion,
                          &c.purchase, &c.pid, &c.handle};
    const QStringList names{"uid",      "mac", "product", "ukey", "productVersion",
                            "purchase", "pid", "handle"};
    for (const QString& item : items) {
        const int eq = item.indexOf(QLatin1Char('='));
        const QString name = item.left(eq);
        const QString value = item.mid(eq + 1);
        if (name == QLatin1String("properties")) {
            for (const QString& piece : value.split(QLatin1Char('&'))) {
                const int at = piece.indexOf(QLatin1Char('='));
                c.properties.insert(piece.left(at), piece.mid(at + 1));
            }
        } else {
            *members[names.indexOf(name)] = value;
        }
    }
}

QStringList capturedDebugLines;
void captureDebug(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg) {
        capturedDebugLines << text;
    }
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installMessagePattern(); }

    void commandLine_data();
    void commandLine();
    void commandLineDebugLines();
    void missingValueIsNull();

    void clientText_data();
    void clientText();

    void toJson_data();
    void toJson();

    void roundTrip_data();
    void roundTrip();
};

void TestClient::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("no arguments") << QStringList() << QStringList();
    QTest::newRow("every option") << QStringList{"-uid",
                                                 "u1",
                                                 "-mac",
                                                 "00-11",
                                                 "-product",
                                                 "P",
                                                 "-productversion",
                                                 "2.1",
                                                 "-purchase",
                                                 "1",
                                                 "-pid",
                                                 "42",
                                                 "-handle",
                                                 "customize",
                                                 "-properties",
                                                 "a=1&b=2"}
                                  << QStringList{"uid=u1",           "mac=00-11",
                                                 "product=P",        "productVersion=2.1",
                                                 "purchase=Y",       "pid=42",
                                                 "handle=customize", "properties=a=1&b=2"};

    // purchase mapping
    QTest::newRow("purchase 1") << QStringList{"-purchase", "1"} << QStringList{"purchase=Y"};
    QTest::newRow("purchase 0") << QStringList{"-purchase", "0"} << QStringList{"purchase=N"};
    QTest::newRow("purchase yes") << QStringList{"-purchase", "yes"} << QStringList();
    QTest::newRow("purchase 2") << QStringList{"-purchase", "2"} << QStringList();
    QTest::newRow("purchase Y") << QStringList{"-purchase", "Y"} << QStringList();
    QTest::newRow("purchase 01") << QStringList{"-purchase", "01"} << QStringList();
    QTest::newRow("purchase last") << QStringList{"-purchase"} << QStringList();
    QTest::newRow("purchase 1 then other")
        << QStringList{"-purchase", "1", "-purchase", "x"} << QStringList();
    QTest::newRow("purchase other then 0")
        << QStringList{"-purchase", "x", "-purchase", "0"} << QStringList{"purchase=N"};

    // missing values shift the pairing
    QTest::newRow("pid last") << QStringList{"-product", "P", "-pid"} << QStringList{"product=P"};
    QTest::newRow("pid swallows the next name")
        << QStringList{"-pid", "-product", "P", "-mac", "M"} << QStringList{"pid=-product"};
    QTest::newRow("shift realigns after an unknown name")
        << QStringList{"-pid", "-product", "P", "x", "-mac", "M"}
        << QStringList{"pid=-product", "mac=M"};
    QTest::newRow("handle last") << QStringList{"-handle"} << QStringList{"handle="};
    QTest::newRow("handle empty") << QStringList{"-handle", ""} << QStringList{"handle="};
    QTest::newRow("handle customize")
        << QStringList{"-handle", "customize"} << QStringList{"handle=customize"};
    QTest::newRow("handle kept as given")
        << QStringList{"-handle", " Auto "} << QStringList{"handle= Auto "};

    // options given twice keep the later value
    QTest::newRow("uid twice") << QStringList{"-uid", "a", "-uid", "b"} << QStringList{"uid=b"};
    QTest::newRow("pid twice, later empty")
        << QStringList{"-pid", "1", "-pid", ""} << QStringList();
    QTest::newRow("properties twice merge")
        << QStringList{"-properties", "a=1&c=3", "-properties", "b=2&a=9"}
        << QStringList{"properties=a=9&b=2&c=3"};

    // properties parse
    QTest::newRow("properties later key wins")
        << QStringList{"-properties", "a=1&b=2&a=3"} << QStringList{"properties=a=3&b=2"};
    QTest::newRow("properties value ends at second =")
        << QStringList{"-properties", "x=1=2"} << QStringList{"properties=x=1"};
    QTest::newRow("properties sorted by key")
        << QStringList{"-properties", "zeta=1&Alpha=2&alpha=3&_=4&9=5"}
        << QStringList{"properties=9=5&Alpha=2&_=4&alpha=3&zeta=1"};
    QTest::newRow("properties empty value")
        << QStringList{"-properties", "a="} << QStringList{"properties=a="};
    QTest::newRow("properties empty key")
        << QStringList{"-properties", "=v"} << QStringList{"properties==v"};
    QTest::newRow("properties piece without = skipped")
        << QStringList{"-properties", "flag&a=1"} << QStringList{"properties=a=1"};
    QTest::newRow("properties empty pieces skipped")
        << QStringList{"-properties", "&a=1&&b=2&"} << QStringList{"properties=a=1&b=2"};
    QTest::newRow("properties only separators")
        << QStringList{"-properties", "&&"} << QStringList();
    QTest::newRow("properties empty") << QStringList{"-properties", ""} << QStringList();
    QTest::newRow("properties last") << QStringList{"-properties"} << QStringList();
    QTest::newRow("properties empty keeps earlier")
        << QStringList{"-properties", "a=1", "-properties", ""} << QStringList{"properties=a=1"};
    QTest::newRow("properties spaces kept")
        << QStringList{"-properties", " a = 1 "} << QStringList{"properties= a = 1 "};

    // unknown options and case
    QTest::newRow("-PID is not -pid") << QStringList{"-PID", "42"} << QStringList();
    QTest::newRow("-productVersion is not -productversion")
        << QStringList{"-productVersion", "3"} << QStringList();
    QTest::newRow("unknown option skipped with its value")
        << QStringList{"-foo", "-pid", "-pid", "7"} << QStringList{"pid=7"};
    QTest::newRow("-ukey is not an option") << QStringList{"-ukey", "k"} << QStringList();
    QTest::newRow("option without dash") << QStringList{"pid", "42"} << QStringList();
    QTest::newRow("values kept unchanged")
        << QStringList{"-pid", " 042 ", "-mac", "aa:BB", "-uid", "\"quoted\""}
        << QStringList{"pid= 042 ", "mac=aa:BB", "uid=\"quoted\""};
}

void TestClient::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, fields);

    ArgVector vector(args);
    const Client client(vector.argc(), vector.argv());
    QCOMPARE(::fields(client), expected(fields));
    QVERIFY(client.fingerprint.isEmpty());
    QVERIFY(client.messages.isEmpty());
    QCOMPARE(client.parent(), nullptr);
}

void TestClient::commandLineDebugLines()
{
    // One "value:" line per pair, known option or not, before the name is looked at.
    ArgVector vector({"-foo", "bar", "-pid", "42", "-handle"});
    capturedDebugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureDebug);
    const Client client(vector.argc(), vector.argv());
    qInstallMessageHandler(previous);
    QCOMPARE(capturedDebugLines, QStringList({"value: \"bar\"", "value: \"42\"", "value: \"\""}));
}

void TestClient::missingValueIsNull()
{
    ArgVector vector({"-mac", "M", "-handle"});
    const Client client(vector.argc(), vector.argv());
    QVERIFY(client.handle.isNull());
    QCOMPARE(client.mac, QStringLiteral("M"));
}

void TestClient::clientText_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("fields");

    QTest::newRow("empty text") << QString() << QStringList();
    QTest::newRow("not JSON") << "pid=42" << QStringList();
    QTest::newRow("truncated") << R"({"pid":"42")" << QStringList();
    QTest::newRow("trailing garbage") << R"({"pid":"42"} x)" << QStringList();
    QTest::newRow("top-level array") << R"([{"pid":"42"}])" << QStringList();
    QTest::newRow("top-level string") << R"("pid")" << QStringList();
    QTest::newRow("top-level null") << "null" << QStringList();
    QTest::newRow("empty object") << "{}" << QStringList();
    QTest::newRow("every member")
        << R"({"uid":"u","mac":"m","product":"p","ukey":"k","productVersion":"1.0",)"
           R"("purchase":"Y","pid":"9","handle":"customize","properties":"b=2&a=1"})"
        << QStringList{"uid=u",
                       "mac=m",
                       "product=p",
                       "ukey=k",
                       "productVersion=1.0",
                       "purchase=Y",
                       "pid=9",
                       "handle=customize",
                       "properties=a=1&b=2"};
    QTest::newRow("white space allowed") << "{ \"pid\" : \"9\" ,\n \"mac\":\"m\" }\n"
                                         << QStringList{"pid=9", "mac=m"};
    QTest::newRow("pid as number") << R"({"pid":42})" << QStringList();
    QTest::newRow("uid as bool") << R"({"uid":true})" << QStringList();
    QTest::newRow("mac as object") << R"({"mac":{"a":"b"}})" << QStringList();
    QTest::newRow("product as array") << R"({"product":["P"]})" << QStringList();
    QTest::newRow("handle missing") << R"({"pid":"1"})" << QStringList{"pid=1"};
    QTest::newRow("handle empty") << R"({"handle":""})" << QStringList{"handle="};
    QTest::newRow("handle null") << R"({"handle":null})" << QStringList{"handle="};
    QTest::newRow("handle number") << R"({"handle":1})" << QStringList{"handle="};
    QTest::newRow("purchase 1 unchanged") << R"({"purchase":"1"})" << QStringList{"purchase=1"};
    QTest::newRow("purchase 0 unchanged") << R"({"purchase":"0"})" << QStringList{"purchase=0"};
    QTest::newRow("keys are case-sensitive")
        << R"({"PID":"1","productversion":"2","Handle":"x"})" << QStringList();
    QTest::newRow("properties pieces without = skipped")
        << R"({"properties":"&x&y=1=2&"})" << QStringList{"properties=y=1"};
    QTest::newRow("properties number") << R"({"properties":5})" << QStringList();
    QTest::newRow("properties object") << R"({"properties":{"a":"1"}})" << QStringList();
    QTest::newRow("fingerprint and messages never read")
        << R"({"fingerprint":"f","messages":[{"title":"t"}],"serial":"3"})" << QStringList();
    QTest::newRow("escapes decoded")
        << R"({"uid":"a\"b\\c\n\u00e9\/"})" << QStringList{"uid=a\"b\\c\n\u00e9/"};
    QTest::newRow("non-ASCII") << QString::fromUtf8(R"({"uid":"用户","properties":"名=值"})")
                               << QStringList{QString::fromUtf8("uid=用户"),
                                              QString::fromUtf8("properties=名=值")};
}

void TestClient::clientText()
{
    QFETCH(QString, json);
    QFETCH(QStringList, fields);

    const Client client(json);
    QCOMPARE(::fields(client), expected(fields));
    QVERIFY(client.fingerprint.isEmpty());
    QVERIFY(client.messages.isEmpty());
}

void TestClient::toJson_data()
{
    QTest::addColumn<QStringList>("members"); // "name=value", as in fields()
    QTest::addColumn<QString>("json");

    QTest::newRow("values at construction")
        << QStringList()
        << R"({"handle":"auto","mac":"","pid":"","product":"","productVersion":"",)"
           R"("properties":"","purchase":"","uid":"","ukey":""})";
    QTest::newRow("pid product mac")
        << QStringList{"pid=42", "product=P", "mac=M"}
        << R"({"handle":"auto","mac":"M","pid":"42","product":"P","productVersion":"",)"
           R"("properties":"","purchase":"","uid":"","ukey":""})";
    QTest::newRow("every member")
        << QStringList{"uid=u",      "ukey=k",  "productVersion=1.2",
                       "purchase=N", "handle=", "properties=b=2&a=3"}
        << R"({"handle":"","mac":"","pid":"","product":"","productVersion":"1.2",)"
           R"("properties":"a=3&b=2","purchase":"N","uid":"u","ukey":"k"})";
    QTest::newRow("JSON escapes")
        << QStringList{"uid=a\"b\\c/d\te\nf\x01"}
        << R"({"handle":"auto","mac":"","pid":"","product":"","productVersion":"",)"
           R"("properties":"","purchase":"","uid":"a\"b\\c/d\te\nf\u0001","ukey":""})";
    QTest::newRow("non-ASCII as UTF-8")
        << QStringList{QString::fromUtf8("properties=名=值&é=1")}
        << QString::fromUtf8(R"({"handle":"auto","mac":"","pid":"","product":"",)"
                             R"("productVersion":"","properties":"é=1&名=值","purchase":"",)"
                             R"("uid":"","ukey":""})");
}

void TestClient::toJson()
{
    QFETCH(QStringList, members);
    QFETCH(QString, json);

    Client client(QString{});
    setFields(client, members);
    const QString text = client.toJson();
    QCOMPARE(text, json);
    QCOMPARE(text.toUtf8(), json.toUtf8()); // UTF-8 bytes, not \u escapes
    QCOMPARE(client.toJson(), text);        // writing changes nothing
}

void TestClient::roundTrip_data()
{
    QTest::addColumn<QStringList>("members");

    QTest::newRow("values at construction") << QStringList();
    QTest::newRow("every member empty") << QStringList{
        "uid=", "mac=", "product=", "ukey=", "productVersion=", "purchase=", "pid=", "handle="};
    QTest::newRow("typical") << QStringList{
        "uid=u1",   "mac=00-1A-2B",         "product=P",
        "ukey=key", "productVersion=3.0.1", "purchase=Y",
        "pid=4711", "handle=customize",     "properties=channel=beta&lang=zh"};
    QTest::newRow("odd texts kept")
        << QStringList{"purchase=1", "pid=0042", "handle= auto", "properties==&a="};
    QTest::newRow("JSON specials") << QStringList{
        "uid=\"",      "mac=\\", "product=/", "ukey=\n\r\t",           "productVersion=\x01",
        "purchase={}", "pid=[]", "handle=:,", "properties= x = \"y\" "};
    QTest::newRow("non-ASCII") << QStringList{
        QString::fromUtf8("uid=用户"), QString::fromUtf8("mac=é"), QString::fromUtf8("ukey=😀"),
        QString::fromUtf8("handle=自动"), QString::fromUtf8("properties=名=值&😀=1")};
}

void TestClient::roundTrip()
{
    QFETCH(QStringList, members);

    Client original(QString{});
    setFields(original, members);
    original.fingerprint = QStringLiteral("fp");
    original.messages.append(new Message());

    const Client copy(original.toJson());
    QCOMPARE(fields(copy), fields(original));
    QCOMPARE(copy.properties, original.properties);
    QVERIFY(copy.fingerprint.isEmpty());
    QVERIFY(copy.messages.isEmpty());
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
