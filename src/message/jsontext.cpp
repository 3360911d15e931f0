#include "jsontext.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

/// The parser's limit: it fails on the container that opens deeper than this.
const size_t maxNesting = 1024;

struct Member
{
    QString key;
    int start; // offset of the key's opening quote
    int quote; // offset of its closing quote
};

struct Container
{
    bool object;
    bool expectKey; // in an object, after '{' or ','
    std::vector<Member> members;
};

/// Replace [start, end) of the text by text.
struct Edit
{
    int start;
    int end;
    QByteArray text;
};

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// Decodes UTF-8 as the parser does: unlike QString::fromUtf8, a byte order
/// mark at the start is a character like any other.
void appendUtf8(QString& out, const char* bytes, int size)
{
    while (size >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF') {
        out.append(QChar(0xFEFF));
        bytes += 3;
        size -= 3;
    }
    out.append(QString::fromUtf8(bytes, size));
}

/// Appends the character that a backslash and e stand for (e not 'u').
void appendEscaped(QString& out, char e)
{
    static const char letters[] = "bfnrt";
    static const char16_t meanings[] = u"\b\f\n\r\t";
    if (const char* at = e ? std::strchr(letters, e) : nullptr) {
        out.append(QChar(meanings[at - letters]));
    } else if (uchar(e) < 0x80) {
        out.append(QLatin1Char(e)); // " \ / and unknown ones as they are
    } else {
        // The parser reads this byte as a negative char: it becomes two
        // UTF-16 units.
        out.append(QChar(0xD7BF));
        out.append(QChar(ushort(0xDF00 | uchar(e))));
    }
}

/// Reads the string whose opening quote is at i and returns the offset of
/// its closing quote, or -1 if it is broken. For a key (key not null):
/// decodes it into key and adds an edit for every raw NUL and U+FFFD.
int readString(const QByteArray& text, int i, QString* key, std::vector<Edit>& edits)
{
    const int n = text.size();
    const char* s = text.constData();
    ++i;
    int run = i; // start of the bytes not yet decoded
    const auto flush = [&](int end) {
        if (key && end > run) {
            appendUtf8(*key, s + run, end - run);
        }
    };
    while (i < n) {
        const char c = s[i];
        if (c == '"') {
            flush(i);
            return i;
        }
        if (c != '\\') {
            if (key && c == '\0') {
                edits.push_back(Edit{i, i + 1, QByteArrayLiteral("\\u0000")});
            } else if (key && c == '\xEF' && i + 2 < n && s[i + 1] == '\xBF' &&
                       s[i + 2] == '\xBD') {
                edits.push_back(Edit{i, i + 3, QByteArrayLiteral("\\ufffd")});
                i += 2;
            }
            ++i;
            continue;
        }
        flush(i);
        if (i + 1 >= n) {
            return -1;
        }
        const char e = s[i + 1];
        if (e == 'u') {
            if (i + 6 > n) {
                return -1;
            }
            int code = 0;
            for (int k = 2; k < 6; ++k) {
                const int h = hexValue(s[i + k]);
                if (h < 0) {
                    return -1;
                }
                code = code * 16 + h;
            }
            if (key) {
                key->append(QChar(ushort(code)));
            }
            i += 6;
        } else {
            if (key) {
                appendEscaped(*key, e);
            }
            i += 2;
        }
        run = i;
    }
    return -1;
}

/// For every member whose key comes again later: a cut of the member (from
/// its key to the next member's key; such a member is never the last) and a
/// suffix that makes its key unique.
void handleRepeats(const std::vector<Member>& members, std::vector<Edit>& cuts,
                   std::vector<Edit>& suffixes)
{
    if (members.size() < 2) {
        return;
    }
    QHash<QString, size_t> last;
    last.reserve(int(members.size()));
    for (size_t i = 0; i < members.size(); ++i) {
        last.insert(members[i].key, i);
    }
    if (size_t(last.size()) == members.size()) {
        return;
    }
    QSet<QString> taken(last.keyBegin(), last.keyEnd());
    int serial = 0;
    for (size_t i = 0; i + 1 < members.size(); ++i) {
        if (last.value(members[i].key) == i) {
            continue;
        }
        cuts.push_back(Edit{members[i].start, members[i + 1].start, {}});
        const auto unique = [&] { return members[i].key + QChar(0) + QString::number(serial); };
        while (taken.contains(unique())) {
            ++serial;
        }
        taken.insert(unique());
        suffixes.push_back(
            Edit{members[i].quote, members[i].quote, "\\u0000" + QByteArray::number(serial++)});
    }
}

/// Applies edits that are either nested or apart; an edit inside an earlier
/// one is dropped with it.
QByteArray applyEdits(const QByteArray& text, std::vector<Edit> edits)
{
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.start < b.start; });
    QByteArray out;
    int extra = 0;
    for (const Edit& e : edits) {
        extra += e.text.size();
    }
    out.reserve(int(qMin<qint64>(qint64(text.size()) + extra, 0x7fffffff)));
    int from = 0;
    for (const Edit& e : edits) {
        if (e.start < from) {
            continue;
        }
        out.append(text.constData() + from, e.start - from);
        out.append(e.text);
        from = e.end;
    }
    out.append(text.constData() + from, text.size() - from);
    return out;
}

} // namespace

ParserTexts prepareForParser(const QByteArray& json)
{
    std::vector<Container> open;
    std::vector<Edit> escapes; // in keys
    std::vector<Edit> cuts;
    std::vector<Edit> suffixes;
    const int n = json.size();
    int i = 0;
    bool broken = false;
    while (i < n && !broken) {
        const char c = json.at(i);
        switch (c) {
        case '{':
        case '[':
            if (open.size() == maxNesting) {
                // The parser fails here too: nothing deeper can matter, and
                // scanning on would cost memory for every bracket.
                broken = true;
                break;
            }
            if (!open.empty()) {
                open.back().expectKey = false;
            }
            open.push_back(Container{c == '{', c == '{', {}});
            ++i;
            break;
        case '}':
        case ']':
            if (open.empty() || open.back().object != (c == '}')) {
                broken = true;
                break;
            }
            if (open.back().object) {
                handleRepeats(open.back().members, cuts, suffixes);
            }
            open.pop_back();
            ++i;
            break;
        case ',':
            if (!open.empty() && open.back().object) {
                open.back().expectKey = true;
            }
            ++i;
            break;
        case '"': {
            Container* top = open.empty() ? nullptr : &open.back();
            const bool isKey = top && top->object && top->expectKey;
            QString key;
            const int quote = readString(json, i, isKey ? &key : nullptr, escapes);
            if (quote < 0) {
                broken = true;
                break;
            }
            if (isKey) {
                top->members.push_back(Member{key, i, quote});
                top->expectKey = false;
            }
            i = quote + 1;
            break;
        }
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            ++i;
            break;
        default:
            if (!open.empty()) {
                open.back().expectKey = false;
            }
            ++i;
            break;
        }
    }
    // The parser stops at the first fault, but it has already dropped the
    // repeats of every object closed before it: those are handled all the same.
    ParserTexts texts;
    if (cuts.empty()) {
        texts.read = escapes.empty() ? json : applyEdits(json, escapes);
        return texts;
    }
    std::vector<Edit> readEdits = escapes;
    readEdits.insert(readEdits.end(), cuts.begin(), cuts.end());
    texts.read = applyEdits(json, std::move(readEdits));
    std::vector<Edit> checkEdits = std::move(escapes);
    checkEdits.insert(checkEdits.end(), suffixes.begin(), suffixes.end());
    texts.check = applyEdits(json, std::move(checkEdits));
    return texts;
}

QJsonDocument parseJson(const QByteArray& json, QJsonParseError* error)
{
    const ParserTexts texts = prepareForParser(json);
    if (!texts.check.isEmpty()) {
        // Every key unique: the parser drops nothing, and a fault inside a
        // member that the read text leaves out is still found.
        QJsonParseError checked{};
        QJsonDocument::fromJson(texts.check, &checked);
        if (checked.error != QJsonParseError::NoError) {
            if (error) {
                *error = checked;
            }
            return QJsonDocument();
        }
    }
    return QJsonDocument::fromJson(texts.read, error);
}
