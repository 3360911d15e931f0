#include "jsontext.h"

#include <QHash>
#include <QSet>
#include <QString>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

namespace {

/// The parser's limit: it fails on the container that opens deeper than this.
const size_t maxNesting = 1024;

/// A member of an object, found by its key. The key itself is not kept (a
/// text per member would cost many times the input): only a hash of it, and
/// where it is, to decode it again where hashes meet.
struct Member
{
    quint64 hash;
    int start; // offset of the key's opening quote
    int quote; // offset of its closing quote
};

struct Container
{
    bool object;
    bool expectKey; // in an object, after '{' or ','
    std::vector<Member> members;
    int commas = 0; // in an array
};

/// What an edit puts in place of [start, end).
enum EditKind : int
{
    Cut = -1,        ///< nothing: a member that a later one replaces (read text only)
    NulEscape = -2,  ///< "\u0000" for each raw NUL byte of a key (both texts)
    FffdEscape = -3, ///< "\ufffd" for each raw U+FFFD of a key (both texts)
    Skip = -4        ///< nothing: the elements of an array past its cap (both texts)
    // 0 and above: "\u0000" and that number, a suffix that makes a key unique
    // (check text only)
};

/// Replace [start, end) of the text by what kind stands for.
struct Edit
{
    int start;
    int end;
    int kind;
};

/// Adds an escape, joined to the previous one where they meet: a run of
/// NUL bytes costs one edit.
void addEscape(std::vector<Edit>& edits, int start, int end, EditKind kind)
{
    if (!edits.empty() && edits.back().kind == kind && edits.back().end == start) {
        edits.back().end = end;
    } else {
        edits.push_back(Edit{start, end, kind});
    }
}

quint64 keyHash(const QString& key)
{
    // Seeded per process: inputs cannot be made to meet on purpose.
    static const uint seed = uint(qGlobalQHashSeed());
    return (quint64(qHash(key, seed)) << 32) | qHash(key, seed ^ 0x9e3779b9u);
}

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
/// decodes it into key and, if edits is not null, adds an edit for every raw
/// NUL and U+FFFD.
int readString(const QByteArray& text, int i, QString* key, std::vector<Edit>* edits)
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
            if (edits && c == '\0') {
                addEscape(*edits, i, i + 1, NulEscape);
            } else if (edits && c == '\xEF' && i + 2 < n && s[i + 1] == '\xBF' &&
                       s[i + 2] == '\xBD') {
                addEscape(*edits, i, i + 3, FffdEscape);
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

QString keyAt(const QByteArray& text, const Member& member)
{
    QString key;
    readString(text, member.start, &key, nullptr);
    return key;
}

/// For every member whose key comes again later: a cut of the member (from
/// its key to the next member's key; such a member is never the last) and a
/// suffix that makes its key unique.
void handleRepeats(const QByteArray& text, const std::vector<Member>& members,
                   std::vector<Edit>& edits)
{
    const size_t n = members.size();
    if (n < 2) {
        return;
    }
    std::vector<quint32> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](quint32 a, quint32 b) { return members[a].hash < members[b].hash; });
    std::vector<quint32> repeated; // members whose key comes again later
    for (size_t group = 0; group < n;) {
        size_t end = group + 1;
        while (end < n && members[order[end]].hash == members[order[group]].hash) {
            ++end;
        }
        // Equal hashes: nearly always one key, else the keys are compared.
        const QString first = end - group > 1 ? keyAt(text, members[order[group]]) : QString();
        bool oneKey = true;
        for (size_t k = group + 1; k < end && oneKey; ++k) {
            oneKey = keyAt(text, members[order[k]]) == first;
        }
        if (oneKey) {
            repeated.insert(repeated.end(), order.begin() + group, order.begin() + end - 1);
        } else {
            QHash<QString, quint32> last;
            for (size_t k = group; k < end; ++k) {
                last.insert(keyAt(text, members[order[k]]), order[k]);
            }
            for (size_t k = group; k < end; ++k) {
                if (last.value(keyAt(text, members[order[k]])) != order[k]) {
                    repeated.push_back(order[k]);
                }
            }
        }
        group = end;
    }
    if (repeated.empty()) {
        return;
    }
    std::vector<quint32>().swap(order);
    std::sort(repeated.begin(), repeated.end());
    // A suffix is U+0000 and a number after the key: distinct numbers keep
    // the suffixed keys apart, and only a key that holds U+0000 itself can
    // be the same as one.
    QSet<QString> taken;
    for (const Member& member : members) {
        const QString key = keyAt(text, member);
        if (key.contains(QChar(0))) {
            taken.insert(key);
        }
    }
    int serial = 0;
    for (const quint32 m : repeated) {
        edits.push_back(Edit{members[m].start, members[m + 1].start, Cut});
        if (!taken.isEmpty()) {
            const QString key = keyAt(text, members[m]);
            while (taken.contains(key + QChar(0) + QString::number(serial))) {
                ++serial;
            }
        }
        edits.push_back(Edit{members[m].quote, members[m].quote, serial++});
    }
}

bool inReadText(const Edit& edit)
{
    return edit.kind < 0;
}

bool inCheckText(const Edit& edit)
{
    return edit.kind != Cut;
}

/// Applies the edits (sorted by start) that take part; an edit inside an
/// earlier one is dropped with it.
QByteArray applyEdits(const QByteArray& text, const std::vector<Edit>& edits,
                      bool (*takesPart)(const Edit&))
{
    const auto escapes = [](const Edit& e) {
        return e.kind == NulEscape    ? e.end - e.start
               : e.kind == FffdEscape ? (e.end - e.start) / 3
                                      : 1;
    };
    qint64 size = text.size();
    for (const Edit& e : edits) {
        if (takesPart(e) && e.kind != Cut && e.kind != Skip) {
            size += 6 * escapes(e) + (e.kind >= 0 ? 10 : 0);
        }
    }
    QByteArray out;
    out.reserve(int(qMin<qint64>(size, 0x7fffffff)));
    int from = 0;
    for (const Edit& e : edits) {
        if (!takesPart(e) || e.start < from) {
            continue;
        }
        out.append(text.constData() + from, e.start - from);
        if (e.kind >= 0) {
            out.append("\\u0000").append(QByteArray::number(e.kind));
        } else if (e.kind == NulEscape || e.kind == FffdEscape) {
            const char* escape = e.kind == NulEscape ? "\\u0000" : "\\ufffd";
            for (int k = escapes(e); k > 0; --k) {
                out.append(escape, 6);
            }
        }
        from = e.end;
    }
    out.append(text.constData() + from, text.size() - from);
    return out;
}

/// The offset of the bracket that closes the container whose content goes on
/// at i, or the text's size if it never closes.
int closingBracket(const QByteArray& text, int i)
{
    int depth = 0;
    while (i < text.size()) {
        const char c = text.at(i);
        if (c == '"') {
            const int quote = readString(text, i, nullptr, nullptr);
            if (quote < 0) {
                return text.size();
            }
            i = quote;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if ((c == ']' || c == '}') && depth-- == 0) {
            return i;
        }
        ++i;
    }
    return text.size();
}

} // namespace

ParserTexts prepareForParser(const QByteArray& json, int maxArrayElements)
{
    bool cut = false;
    std::vector<Container> open;
    std::vector<Edit> edits;
    bool repeats = false;
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
                const size_t before = edits.size();
                handleRepeats(json, open.back().members, edits);
                repeats = repeats || edits.size() != before;
            }
            open.pop_back();
            ++i;
            break;
        case ',':
            if (!open.empty() && open.back().object) {
                open.back().expectKey = true;
            } else if (!open.empty() && maxArrayElements > 0 &&
                       ++open.back().commas >= maxArrayElements) {
                // The elements past the cap, from this comma on, are never read.
                const int end = closingBracket(json, i + 1);
                edits.push_back(Edit{i, end, Skip});
                cut = true;
                i = end;
                break;
            }
            ++i;
            break;
        case '"': {
            Container* top = open.empty() ? nullptr : &open.back();
            const bool isKey = top && top->object && top->expectKey;
            QString key;
            const int quote = readString(json, i, isKey ? &key : nullptr, isKey ? &edits : nullptr);
            if (quote < 0) {
                broken = true;
                break;
            }
            if (isKey) {
                top->members.push_back(Member{keyHash(key), i, quote});
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
    std::vector<Container>().swap(open);
    ParserTexts texts;
    texts.cut = cut;
    if (edits.empty()) {
        texts.read = json;
        return texts;
    }
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.start < b.start; });
    texts.read = applyEdits(json, edits, inReadText);
    if (repeats) {
        texts.check = applyEdits(json, edits, inCheckText);
    }
    return texts;
}

QJsonDocument parseJson(const QByteArray& json, QJsonParseError* error, int maxArrayElements,
                        bool* cut)
{
    const ParserTexts texts = prepareForParser(json, maxArrayElements);
    if (cut) {
        *cut = texts.cut;
    }
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
