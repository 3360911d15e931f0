#include "pageframe.h"

#include <QtEndian>

namespace pageframe {

namespace {

void appendNumber(QByteArray* to, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    to->append(bytes, 4);
}

quint32 numberAt(const QByteArray& from, int at)
{
    return qFromBigEndian<quint32>(from.constData() + at);
}

} // namespace

Writer::Writer(Type type)
{
    body.append(char(type));
}

Writer& Writer::number(qint32 value)
{
    appendNumber(&body, quint32(value));
    return *this;
}

Writer& Writer::text(const QString& value)
{
    QString cut = value.left(limits::maxPageText);
    if (cut.size() < value.size() && cut.at(cut.size() - 1).isHighSurrogate()) {
        cut.chop(1);
    }
    const QByteArray utf8 = cut.toUtf8();
    appendNumber(&body, quint32(utf8.size()));
    body.append(utf8);
    return *this;
}

QByteArray Writer::frame() const
{
    QByteArray result;
    result.reserve(4 + body.size());
    appendNumber(&result, quint32(body.size()));
    return result + body;
}

void Reader::add(const QByteArray& bytes)
{
    if (isBroken) {
        return;
    }
    if (start > 0 && start == pending.size()) {
        pending.clear();
        start = 0;
    }
    pending.append(bytes);
}

bool Reader::next(Frame* frame)
{
    if (isBroken || pending.size() - start < 4) {
        return false;
    }
    const quint32 length = numberAt(pending, start);
    if (length == 0 || length > quint32(limits::maxPageFrame)) {
        isBroken = true;
        pending.clear();
        start = 0;
        return false;
    }
    if (quint32(pending.size() - start - 4) < length) {
        return false;
    }
    frame->type = quint8(pending.at(start + 4));
    frame->fields = pending.mid(start + 5, int(length) - 1);
    start += 4 + int(length);
    if (start > limits::maxPageFrame) { // drop what has been read, now and then
        pending.remove(0, start);
        start = 0;
    }
    return true;
}

qint32 Fields::number()
{
    if (!good || data.size() - at < 4) {
        good = false;
        return 0;
    }
    const quint32 value = numberAt(data, at);
    at += 4;
    return qint32(value);
}

QString Fields::text()
{
    const quint32 length = quint32(number());
    if (!good || quint32(data.size() - at) < length) {
        good = false;
        return QString();
    }
    QString value = QString::fromUtf8(data.constData() + at, int(length));
    at += int(length);
    return value;
}

} // namespace pageframe
