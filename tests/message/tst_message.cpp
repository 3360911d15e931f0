// Messages and their JSON form on the pipe.
#include "core/globals.h"
#include "app/logging.h"
#include "message/message.h"

#include <QPointer>
#include <QtTest>

#include <memory>

namespace {

/// A message described in a test row: "member=value" items for the text
/// members, "setting:key=value" items (in insertion order) and
/// "action:id|label|url" items (in list order).
std::unique_ptr<Message> build(const QStringList& items)
{
    auto m = std::make_unique<Message>();
    for (const QString& item : items) {
        if (item.startsWith(QLatin1String("setting:"))) {
            const QString pair = item.mid(8);
            const int eq = pair.indexOf(QLatin1Char('='));
            m->settings.insert(pair.left(eq), pair.mid(eq + 1));
        } else if (item.startsWith(QLatin1String("action:"))) {
            const QStringList parts = item.mid(7).split(QLatin1Char('|'));
            auto* a = new MessageAction(m.get());
            a->id = parts.value(0);
            a->action = parts.value(1);
            a->url = parts.value(2);
            m->actions.append(a);
        } else {
            const int eq = item.indexOf(QLatin1Char('='));
            const QString name = item.left(eq);
            const QString value = item.mid(eq + 1);
            QString* member = name == QLatin1String("uuid")          ? &m->uuid
                              : name == QLatin1String("messageForm") ? &m->messageForm
                              : name == QLatin1String("title")       ? &m->title
                              : name == QLatin1String("summary")     ? &m->summary
                              : name == QLatin1String("url")         ? &m->url
                                                                     : &m->authorName;
            *member = value;
        }
    }
    return m;
}

/// The same description read back from a message, in a canonical order:
/// non-empty text members, settings in map order, actions in list order.
QStringList describe(const Message& m)
{
    QStringList out;
    const QPair<const char*, const QString*> members[] = {
        {"uuid", &m.uuid},   {"messageForm", &m.messageForm},
        {"title", &m.title}, {"summary", &m.summary},
        {"url", &m.url},     {"authorName", &m.authorName}};
    for (const auto& member : members) {
        if (!member.second->isEmpty()) {
            out << QString::fromLatin1(member.first) + QLatin1Char('=') + *member.second;
        }
    }
    for (auto it = m.settings.constBegin(); it != m.settings.constEnd(); ++it) {
        out << QStringLiteral("setting:") + it.key() + QLatin1Char('=') + it.value();
    }
    for (const MessageAction* a : m.actions) {
        out << QStringLiteral("action:") + a->id + QLatin1Char('|') + a->action + QLatin1Char('|') +
                   a->url;
    }
    return out;
}

const char* const emptyObject = R"({"actions":[],"authorName":"","messageForm":"",)"
                                R"("settings":[],"summary":"","title":"","url":"","uuid":""})";

} // namespace

class TestMessage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { installMessagePattern(); }

    void listToJson_data();
    void listToJson();
    void fromJson_data();
    void fromJson();
    void fromJsonActionsAreChildren();
    void deletingMessageDeletesActions();
};

void TestMessage::listToJson_data()
{
    QTest::addColumn<QList<QStringList>>("messages");
    QTest::addColumn<QString>("json");

    QTest::newRow("empty list") << QList<QStringList>() << "[]";
    QTest::newRow("one empty message")
        << QList<QStringList>{{}} << QStringLiteral("[%1]").arg(emptyObject);
    QTest::newRow("two empty messages")
        << QList<QStringList>{{}, {}} << QStringLiteral("[%1,%1]").arg(emptyObject);
    QTest::newRow("every member")
        << QList<QStringList>{{"uuid=u-1", "messageForm=Url", "title=T", "summary=<b>S</b>",
                               "url=http://h/p?a=1&b=2", "authorName=A", "setting:width=300",
                               "action:7|Open|http://h/7"}}
        << R"([{"actions":[{"action":"Open","id":"7","url":"http://h/7"}],"authorName":"A",)"
           R"("messageForm":"Url","settings":[{"key":"width","value":"300"}],)"
           R"("summary":"<b>S</b>","title":"T","url":"http://h/p?a=1&b=2","uuid":"u-1"}])";
    QTest::newRow("settings sorted by name")
        << QList<QStringList>{{"setting:width=1", "setting:position=RB", "setting:height=2",
                               "setting:Zed=3", "setting:=4"}}
        << R"([{"actions":[],"authorName":"","messageForm":"","settings":[)"
           R"({"key":"","value":"4"},{"key":"Zed","value":"3"},{"key":"height","value":"2"},)"
           R"({"key":"position","value":"RB"},{"key":"width","value":"1"}],)"
           R"("summary":"","title":"","url":"","uuid":""}])";
    QTest::newRow("actions keep their order")
        << QList<QStringList>{{"action:3|c|", "action:1|a|u1", "action:2||", "action:1|a|u1"}}
        << R"([{"actions":[{"action":"c","id":"3","url":""},{"action":"a","id":"1","url":"u1"},)"
           R"({"action":"","id":"2","url":""},{"action":"a","id":"1","url":"u1"}],)"
           R"("authorName":"","messageForm":"","settings":[],"summary":"","title":"",)"
           R"("url":"","uuid":""}])";
    QTest::newRow("list order kept")
        << QList<QStringList>{{"uuid=b"}, {"uuid=a"}}
        << R"([{"actions":[],"authorName":"","messageForm":"","settings":[],"summary":"",)"
           R"("title":"","url":"","uuid":"b"},{"actions":[],"authorName":"","messageForm":"",)"
           R"("settings":[],"summary":"","title":"","url":"","uuid":"a"}])";
    QTest::newRow("non-ASCII as UTF-8")
        << QList<QStringList>{{QString::fromUtf8("title=你好 é 😀"),
                               QString::fromUtf8("setting:位置=右下"),
                               QString::fromUtf8("action:1|打开|")}}
        << QString::fromUtf8(R"([{"actions":[{"action":"打开","id":"1","url":""}],)"
                             R"("authorName":"","messageForm":"","settings":[{"key":"位置",)"
                             R"("value":"右下"}],"summary":"","title":"你好 é 😀","url":"",)"
                             R"("uuid":""}])");
    QTest::newRow("JSON escapes")
        << QList<QStringList>{{"summary=a\"b\\c/d\te\nf\r\x01"}}
        << R"([{"actions":[],"authorName":"","messageForm":"","settings":[],)"
           R"("summary":"a\"b\\c/d\te\nf\r\u0001","title":"","url":"","uuid":""}])";
}

void TestMessage::listToJson()
{
    QFETCH(QList<QStringList>, messages);
    QFETCH(QString, json);

    std::vector<std::unique_ptr<Message>> owned;
    QList<Message*> list;
    QList<QStringList> before;
    for (const QStringList& items : messages) {
        owned.push_back(build(items));
        list << owned.back().get();
        before << describe(*list.last());
    }
    const QString text = Message::listToJson(list);
    QCOMPARE(text, json);
    QCOMPARE(text.toUtf8(), json.toUtf8());
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(describe(*list.at(i)), before.at(i)); // nothing changed
    }
}

void TestMessage::fromJson_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<QStringList>("message"); // as described by describe()

    QTest::newRow("empty text") << QString() << QStringList();
    QTest::newRow("invalid JSON") << "{\"title\":" << QStringList();
    QTest::newRow("trailing garbage") << R"({"title":"T"}})" << QStringList();
    QTest::newRow("not JSON at all") << "PopupMessage:" << QStringList();
    QTest::newRow("top-level array") << R"([{"title":"T"}])" << QStringList();
    QTest::newRow("own listToJson text")
        << QStringLiteral("[%1]").arg(emptyObject) << QStringList();
    QTest::newRow("top-level number") << "42" << QStringList();
    QTest::newRow("empty object") << "{}" << QStringList();
    QTest::newRow("messageForm is not read")
        << R"({"messageForm":"Url","url":"http://h"})" << QStringList{"url=http://h"};
    QTest::newRow("messageFrom is the form") << R"({"messageFrom":"Url","url":"http://h/page"})"
                                             << QStringList{"messageForm=Url", "url=http://h/page"};
    QTest::newRow("form kept in its case")
        << R"({"messageFrom":"url"})" << QStringList{"messageForm=url"};
    QTest::newRow("uuid is not read") << R"({"uuid":"u-1","title":"T"})" << QStringList{"title=T"};
    QTest::newRow("text members")
        << R"({"title":"T","summary":"S","url":"U","authorName":"A","other":"x"})"
        << QStringList{"title=T", "summary=S", "url=U", "authorName=A"};
    QTest::newRow("title as number") << R"({"title":5,"summary":"S"})" << QStringList{"summary=S"};
    QTest::newRow("wrong types give empty texts")
        << R"({"messageFrom":true,"title":null,"summary":{},"url":[],"authorName":1.5})"
        << QStringList();
    QTest::newRow("settings")
        << R"({"settings":[{"key":"width","value":"300"},{"key":"height","value":"200"}]})"
        << QStringList{"setting:height=200", "setting:width=300"};
    QTest::newRow("settings duplicate key, later wins")
        << R"({"settings":[{"key":"w","value":"1"},{"key":"h","value":"2"},)"
           R"({"key":"w","value":"3"}]})"
        << QStringList{"setting:h=2", "setting:w=3"};
    QTest::newRow("settings as object") << R"({"settings":{"width":"300"}})" << QStringList();
    QTest::newRow("settings as text") << R"({"settings":"width=300"})" << QStringList();
    QTest::newRow("settings element not an object")
        << R"({"settings":[5,{"key":"a","value":"1"}]})" << QStringList{"setting:=", "setting:a=1"};
    QTest::newRow("settings element without key")
        << R"({"settings":[{"value":"v"},{"key":"k"}]})" << QStringList{"setting:=v", "setting:k="};
    QTest::newRow("settings mistyped key and value")
        << R"({"settings":[{"key":1,"value":"v"},{"key":"k","value":2}]})"
        << QStringList{"setting:=v", "setting:k="};
    QTest::newRow("actions in order")
        << R"({"actions":[{"id":"2","action":"B","url":"u2"},{"id":"1","action":"A"}]})"
        << QStringList{"action:2|B|u2", "action:1|A|"};
    QTest::newRow("actions element not an object")
        << R"({"actions":[null,"x",{"id":"1","action":"A","url":"u"},[]]})"
        << QStringList{"action:||", "action:||", "action:1|A|u", "action:||"};
    QTest::newRow("actions mistyped members")
        << R"({"actions":[{"id":1,"action":["A"],"url":"u"}]})" << QStringList{"action:||u"};
    QTest::newRow("actions as object") << R"({"actions":{"id":"1"}})" << QStringList();
    QTest::newRow("actions empty") << R"({"actions":[]})" << QStringList();
    QTest::newRow("non-ASCII and escapes")
        << QString::fromUtf8(R"({"title":"你好😀","summary":"a\"b\\c\n\u00e9\/",)"
                             R"("settings":[{"key":"位置","value":"右下"}]})")
        << QStringList{QString::fromUtf8("title=你好😀"), QString::fromUtf8("summary=a\"b\\c\né/"),
                       QString::fromUtf8("setting:位置=右下")};
}

void TestMessage::fromJson()
{
    QFETCH(QString, json);
    QFETCH(QStringList, message);

    const std::unique_ptr<Message> m(Message::fromJson(json));
    QVERIFY(m);
    QCOMPARE(m->parent(), nullptr);
    QVERIFY(m->uuid.isEmpty());
    QCOMPARE(describe(*m), message);
}

void TestMessage::fromJsonActionsAreChildren()
{
    const std::unique_ptr<Message> m(
        Message::fromJson(R"({"actions":[{"id":"1"},{"id":"2"},{"id":"3"}]})"));
    QCOMPARE(m->actions.size(), 3);
    QCOMPARE(m->children().size(), 3);
    for (MessageAction* a : qAsConst(m->actions)) {
        QCOMPARE(a->parent(), m.get());
        QVERIFY(m->children().contains(a));
    }
}

void TestMessage::deletingMessageDeletesActions()
{
    Message* m = Message::fromJson(R"({"actions":[{"id":"1"},{"id":"2"},{"id":"3"}]})");
    QList<QPointer<MessageAction>> actions;
    for (MessageAction* a : qAsConst(m->actions)) {
        actions << a;
    }
    QCOMPARE(actions.size(), 3);
    delete m;
    for (const QPointer<MessageAction>& a : qAsConst(actions)) {
        QVERIFY(a.isNull());
    }
}

QTEST_GUILESS_MAIN(TestMessage)
#include "tst_message.moc"
