// Repeated keys are cut from JSON text before Qt's parser sees it (the parser
// leaks what it drops for them). Under the sanitizer build, LeakSanitizer
// fails this test at exit if any row still reaches the leaking path.
#include "message/jsontext.h"

#include <QtTest>

namespace {

/// Bytes of a literal, NUL bytes included.
template <int N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, N - 1);
}

} // namespace

class TestJsonText : public QObject
{
    Q_OBJECT

private slots:
    void cutsRepeatedMembers_data();
    void cutsRepeatedMembers();
    void leavesOtherTextAlone_data();
    void leavesOtherTextAlone();
    void deepNestingNeedsNoStack();
    void faultInsideARepeatIsFound_data();
    void faultInsideARepeatIsFound();
    void keysStayApart_data();
    void keysStayApart();
    void lastRepeatWinsInLargeObjects();
};

void TestJsonText::cutsRepeatedMembers_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("cut");    // the text the document is read from
    QTest::addColumn<QByteArray>("parsed"); // compact, as Qt alone reads it; empty: an error

    QTest::newRow("number twice") << QByteArray(R"({"a":1,"a":2})") << QByteArray(R"({"a":2})")
                                  << QByteArray(R"({"a":2})");
    QTest::newRow("object then string")
        << QByteArray(R"({"a":{"x":"1"},"b":3,"a":"last"})") << QByteArray(R"({"b":3,"a":"last"})")
        << QByteArray(R"({"a":"last","b":3})");
    QTest::newRow("object twice, as the fuzzer found it")
        << QByteArray(R"({"s":{"a":"b"},"s":{"a":"b"}})") << QByteArray(R"({"s":{"a":"b"}})")
        << QByteArray(R"({"s":{"a":"b"}})");
    QTest::newRow("three times, blanks kept")
        << QByteArray("{ \"k\" : [1] ,\n \"k\" : [2] , \"k\" : [3] }")
        << QByteArray("{ \"k\" : [3] }") << QByteArray(R"({"k":[3]})");
    QTest::newRow("escaped key is the same key")
        << QByteArray(R"({"a":[{"n":1}],"\u0061":2})") << QByteArray(R"({"\u0061":2})")
        << QByteArray(R"({"a":2})");
    QTest::newRow("escaped quote inside key")
        << QByteArray(R"({"a\"b":{},"a\"b":1,"a":2})") << QByteArray(R"({"a\"b":1,"a":2})")
        << QByteArray(R"({"a":2,"a\"b":1})");
    QTest::newRow("brackets and commas inside strings")
        << QByteArray(R"({"a":"}{,\"[","a":{"b":"]"}})") << QByteArray(R"({"a":{"b":"]"}})")
        << QByteArray(R"({"a":{"b":"]"}})");
    QTest::newRow("repeat inside a cut member")
        << QByteArray(R"({"m":{"x":{},"x":{}},"m":1})") << QByteArray(R"({"m":1})")
        << QByteArray(R"({"m":1})");
    QTest::newRow("repeat inside a kept member")
        << QByteArray(R"({"m":{"x":{},"x":[]},"n":1})") << QByteArray(R"({"m":{"x":[]},"n":1})")
        << QByteArray(R"({"m":{"x":[]},"n":1})");
    QTest::newRow("objects in an array")
        << QByteArray(R"([{"a":{},"a":1},{"a":[],"a":2}])") << QByteArray(R"([{"a":1},{"a":2}])")
        << QByteArray(R"([{"a":1},{"a":2}])");
    QTest::newRow("a message's settings")
        << QByteArray(
               R"({"title":"T","settings":{"position":"top"},"settings":{"position":"bottom"}})")
        << QByteArray(R"({"title":"T","settings":{"position":"bottom"}})")
        << QByteArray(R"({"settings":{"position":"bottom"},"title":"T"})");
    // The parser fails only after it has closed these objects.
    QTest::newRow("text after the document")
        << QByteArray(R"({"a":{},"a":1}, "x"})") << QByteArray(R"({"a":1}, "x"})") << QByteArray();
    QTest::newRow("broken string after a closed object")
        << QByteArray(R"([{"a":[],"a":1},"x)") << QByteArray(R"([{"a":1},"x)") << QByteArray();
    QTest::newRow("raw NUL bytes: keys differ after them")
        << bytes("{\"d\0x\":{\"a\":\"b\"},\"d\0y\":1}")
        << QByteArray(R"({"d\u0000x":{"a":"b"},"d\u0000y":1})")
        << QByteArray(R"({"d\u0000x":{"a":"b"},"d\u0000y":1})");
    QTest::newRow("raw NUL bytes in a cut member and a value")
        << bytes("{\"k\":{\"\0\":1},\"k\":\"\0\"}") << bytes("{\"k\":\"\0\"}")
        << QByteArray(R"({"k":"\u0000"})");
    QTest::newRow("UTF-8 key") << QByteArray("{\"é\":{},\"\\u00e9\":1}")
                               << QByteArray("{\"\\u00e9\":1}") << QByteArray("{\"é\":1}");
}

void TestJsonText::cutsRepeatedMembers()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, cut);
    QFETCH(QByteArray, parsed);
    QCOMPARE(prepareForParser(text).read, cut);
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(text, &error);
    if (parsed.isEmpty()) {
        QVERIFY(error.error != QJsonParseError::NoError);
        return;
    }
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.toJson(QJsonDocument::Compact), parsed);
}

void TestJsonText::leavesOtherTextAlone_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no repeats") << QByteArray(R"({"a":1,"b":{"a":2},"c":[{"a":3}]})");
    QTest::newRow("same key at other depths") << QByteArray(R"({"a":{"a":{"a":1}}})");
    QTest::newRow("repeated strings as values") << QByteArray(R"({"a":"a","b":"a"})");
    QTest::newRow("unterminated string") << QByteArray(R"({"a":1,"a":"2)");
    QTest::newRow("broken escape") << QByteArray(R"({"a":1,"\u00":2})");
    QTest::newRow("mismatched brackets") << QByteArray(R"({"a":{},"a":[}})");
    QTest::newRow("closing first") << QByteArray(R"(}{"a":1,"a":2})");
    QTest::newRow("invalid UTF-8") << QByteArray("{\"a\":\"\xff\",\"b\":1}");
    QTest::newRow("NUL outside strings") << bytes("{\"a\":1,\0\"a\":2}");
    QTest::newRow("escaped NUL") << bytes("{\"a\\\0\":1,\"a\":2}");
}

void TestJsonText::leavesOtherTextAlone()
{
    QFETCH(QByteArray, text);
    const ParserTexts texts = prepareForParser(text);
    QCOMPARE(texts.read, text);
    QVERIFY(texts.check.isEmpty());
}

void TestJsonText::deepNestingNeedsNoStack()
{
    // Deeper than any call stack would take with one frame per level.
    const int depth = 200000;
    QByteArray text = QByteArray(depth, '[') + R"({"a":{},"a":1})" + QByteArray(depth, ']');
    const QByteArray cut = prepareForParser(text).read;
    QCOMPARE(cut.size(), text.size() - int(strlen(R"("a":{},)")));
    QVERIFY(cut.contains(R"({"a":1})"));
}

void TestJsonText::faultInsideARepeatIsFound_data()
{
    // Each text is an error for the parser; the fault sits in a member that a
    // later one replaces, and must not vanish with it.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("fault");
    QTest::newRow("bad literal") << QByteArray(R"({"a":nope,"a":1})")
                                 << int(QJsonParseError::IllegalValue);
    QTest::newRow("missing colon")
        << QByteArray(R"({"a" 1,"a":2})") << int(QJsonParseError::MissingNameSeparator);
    QTest::newRow("two commas") << QByteArray(R"({"a":1,,"a":2})")
                                << int(QJsonParseError::UnterminatedObject);
    QTest::newRow("invalid UTF-8 deeper")
        << QByteArray("{\"a\":{\"\xff\":1},\"a\":1}") << int(QJsonParseError::IllegalUTF8String);
    QTest::newRow("invalid UTF-8 in the key itself")
        << QByteArray("{\"\xff\":{},\"\xef\xbf\xbd\":1}")
        << int(QJsonParseError::IllegalUTF8String);
    QTest::newRow("too deep") << QByteArray(R"({"a":)" + QByteArray(1100, '[') +
                                            QByteArray(1100, ']') + R"(,"a":1})")
                              << int(QJsonParseError::DeepNesting);
}

void TestJsonText::faultInsideARepeatIsFound()
{
    QFETCH(QByteArray, text);
    QFETCH(int, fault);
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(text, &error);
    QCOMPARE(int(error.error), fault);
    QVERIFY(doc.isNull());
}

void TestJsonText::keysStayApart_data()
{
    // Keys the parser on its own would take for one another (and lose one
    // member); the first value is an object so that a loss would also leak.
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("members");
    QTest::newRow("raw NUL, then different") << bytes("{\"d\0x\":{\"v\":1},\"d\0y\":1}") << 2;
    QTest::newRow("lone surrogate and raw U+FFFD")
        << QByteArray("{\"\\ud800\":{\"v\":1},\"\xef\xbf\xbd\":1}") << 2;
    QTest::newRow("raw U+FFFD and lone surrogate")
        << QByteArray("{\"\xef\xbf\xbd\":{\"v\":1},\"\\udc00\":1}") << 2;
    QTest::newRow("escaped high byte and its Latin-1 escape")
        << QByteArray("{\"\\\xe9\":{\"v\":1},\"\\u00e9\":1}") << 2;
    QTest::newRow("byte order mark at the start of a key") << QByteArray("{\"\xef\xbb\xbf"
                                                                         "a\":{\"v\":1},\"a\":1}")
                                                           << 2;
    QTest::newRow("byte order mark after an escape") << QByteArray("{\"\\n\xef\xbb\xbf"
                                                                   "a\":{\"v\":1},\"\\na\":1}")
                                                     << 2;
    // and keys that are the same, written differently
    QTest::newRow("byte order mark raw and escaped") << QByteArray("{\"\xef\xbb\xbf"
                                                                   "a\":{\"v\":1},\"\\ufeffa\":1}")
                                                     << 1;
    QTest::newRow("escaped high byte written as its two units")
        << QByteArray("{\"\\\xe9\":{\"v\":1},\"\\ud7bf\\udfe9\":1}") << 1;
    QTest::newRow("surrogate pair raw and escaped")
        << QByteArray("{\"\xf0\x9f\x98\x80\":{\"v\":1},\"\\ud83d\\ude00\":1}") << 1;
}

void TestJsonText::keysStayApart()
{
    QFETCH(QByteArray, text);
    QFETCH(int, members);
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(text, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().size(), members);
}

void TestJsonText::lastRepeatWinsInLargeObjects()
{
    // The parser sorts members with an unstable sort: past 16 members it
    // does not keep the last of the repeats by itself.
    QByteArray text = R"({"a":0,"a":1)";
    for (char k = 'b'; k <= 'p'; ++k) {
        text += ",\"" + QByteArray(1, k) + "\":" + QByteArray::number(k - 'a' + 1);
    }
    text += '}';
    const QJsonDocument doc = parseJson(text);
    QCOMPARE(doc.object().size(), 16);
    QCOMPARE(doc.object().value(QLatin1String("a")).toInt(), 1);
}

QTEST_GUILESS_MAIN(TestJsonText)
#include "tst_jsontext.moc"
