#include "client.h"

#include "jsontext.h"
#include "message.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>

Client::Client(int argc, char* argv[])
{
    if (argc <= 1) {
        return;
    }
    for (int i = 1; i < argc; i += 2) {
        const QString name = QString::fromUtf8(argv[i]);
        // When the name is the last argument its value is argv[argc], the
        // closing null pointer, which gives the null text.
        const QString value = QString::fromLocal8Bit(argv[i + 1]);
        qDebug() << "value:" << value;

        if (name == QLatin1String("-uid")) {
            uid = value;
        } else if (name == QLatin1String("-mac")) {
            mac = value;
        } else if (name == QLatin1String("-product")) {
            product = value;
        } else if (name == QLatin1String("-productversion")) {
            productVersion = value;
        } else if (name == QLatin1String("-purchase")) {
            if (value == QLatin1String("0")) {
                purchase = QStringLiteral("N");
            } else if (value == QLatin1String("1")) {
                purchase = QStringLiteral("Y");
            } else {
                purchase = QString();
            }
        } else if (name == QLatin1String("-pid")) {
            pid = value;
        } else if (name == QLatin1String("-handle")) {
            handle = value;
        } else if (name == QLatin1String("-properties")) {
            if (!value.isEmpty()) {
                parseProperties(value);
            }
        }
    }
}

Client::Client(const QString& json)
{
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return;
    }
    const QJsonObject obj = doc.object(); // an array gives an empty object

    const auto take = [&obj](const char* key, QString& member) {
        const QString k = QString::fromLatin1(key);
        if (obj.contains(k)) {
            member = obj.value(k).toString(); // non-strings give ""
        }
    };
    take("uid", uid);
    take("mac", mac);
    take("product", product);
    take("ukey", ukey);
    take("productVersion", productVersion);
    take("purchase", purchase);
    take("pid", pid);
    take("handle", handle);

    if (obj.contains(QLatin1String("properties"))) {
        const QString text = obj.value(QLatin1String("properties")).toString();
        if (!text.isEmpty()) {
            parseProperties(text);
        }
    }
}

Client::~Client()
{
    qDeleteAll(messages);
    messages.clear();
}

void Client::parseProperties(const QString& text)
{
    const QStringList pieces = text.split(QLatin1Char('&'));
    for (const QString& piece : pieces) {
        const QStringList parts = piece.split(QLatin1Char('='));
        if (parts.size() < 2) {
            continue; // a piece without "=" (or an empty one) is skipped
        }
        properties.insert(parts.at(0), parts.at(1));
    }
}

QString Client::toJson() const
{
    QStringList pairs;
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it) {
        pairs << it.key() + QLatin1Char('=') + it.value();
    }
    QJsonObject obj;
    obj.insert(QStringLiteral("uid"), uid);
    obj.insert(QStringLiteral("mac"), mac);
    obj.insert(QStringLiteral("product"), product);
    obj.insert(QStringLiteral("ukey"), ukey);
    obj.insert(QStringLiteral("productVersion"), productVersion);
    obj.insert(QStringLiteral("purchase"), purchase);
    obj.insert(QStringLiteral("pid"), pid);
    obj.insert(QStringLiteral("handle"), handle);
    obj.insert(QStringLiteral("properties"), pairs.join(QLatin1Char('&')));
    return QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
}
