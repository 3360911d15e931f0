#include "jsontext.h"

#include <QHash>
#include <QString>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

struct Member
{
    QString key;
    int start; // offset of the key's opening quote
};

struct Container
{
    bool object;
    bool expectKey; // in an object, after '{' or ','
    std::vector<Member> members;
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

/// Reads the string whose opening quote is at i and returns the offset after
/// its closing quote, or -1 if it is broken. Decodes it into decoded unless
/// that is null, and adds the offset of every raw NUL byte to nuls.
int readString(const QByteArray& text, int i, QString* decoded, std::vector<int>& nuls)
{
    const int n = text.size();
    const char* s = text.constData();
    ++i;
    int run = i; // start of the bytes not yet decoded
    const auto flush = [&](int end) {
        if (decoded && end > run) {
            decoded->append(QString::fromUtf8(s + run, end - run));
        }
    };
    while (i < n) {
        const char c = s[i];
        if (c == '"') {
            flush(i);
            return i + 1;
        }
        if (c != '\\') {
            if (c == '\0') {
                nuls.push_back(i);
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
            if (decoded) {
                decoded->append(QChar(ushort(code)));
            }
            i += 6;
        } else {
            if (decoded) {
                switch (e) {
                case 'b':
                    decoded->append(QChar(u'\b'));
                    break;
                case 'f':
                    decoded->append(QChar(u'\f'));
                    break;
                case 'n':
                    decoded->append(QChar(u'\n'));
                    break;
                case 'r':
                    decoded->append(QChar(u'\r'));
                    break;
                case 't':
                    decoded->append(QChar(u'\t'));
                    break;
                default:
                    decoded->append(QLatin1Char(e));
                    break; // " \ / and invalid ones
                }
            }
            i += 2;
        }
        run = i;
    }
    return -1;
}

/// Adds a cut [start of member, start of the next member) for every member
/// whose key comes again later. Such a member is never the last one.
void cutRepeats(const std::vector<Member>& members, std::vector<std::pair<int, int>>& cuts)
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
    for (size_t i = 0; i + 1 < members.size(); ++i) {
        if (last.value(members[i].key) != i) {
            cuts.emplace_back(members[i].start, members[i + 1].start);
        }
    }
}

} // namespace

QByteArray safeForParser(const QByteArray& json)
{
    std::vector<Container> open;
    std::vector<std::pair<int, int>> cuts;
    std::vector<int> nuls; // raw NUL bytes inside strings, in order
    const int n = json.size();
    int i = 0;
    bool broken = false;
    while (i < n && !broken) {
        const char c = json.at(i);
        switch (c) {
        case '{':
        case '[':
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
                cutRepeats(open.back().members, cuts);
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
            const int end = readString(json, i, isKey ? &key : nullptr, nuls);
            if (end < 0) {
                broken = true;
                break;
            }
            if (isKey) {
                top->members.push_back(Member{key, i});
                top->expectKey = false;
            }
            i = end;
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
    // The parser stops at the first fault it finds, but it has already dropped
    // repeated members in every object closed before it: the cuts found up
    // to a fault are made all the same.
    if (cuts.empty() && nuls.empty()) {
        return json;
    }

    // Inner objects close first, so a cut inside a cut member comes earlier;
    // cuts are either nested or apart.
    std::sort(cuts.begin(), cuts.end());
    QByteArray kept;
    kept.reserve(n + 5 * int(nuls.size()));
    auto nul = nuls.cbegin();
    const auto keep = [&](int from, int to) {
        for (; nul != nuls.cend() && *nul < from; ++nul) {
        }
        for (; nul != nuls.cend() && *nul < to; ++nul) {
            kept.append(json.constData() + from, *nul - from);
            kept.append("\\u0000");
            from = *nul + 1;
        }
        kept.append(json.constData() + from, to - from);
    };
    int from = 0;
    for (const auto& [start, end] : cuts) {
        if (start < from) {
            continue; // inside a member already cut
        }
        keep(from, start);
        from = end;
    }
    keep(from, n);
    return kept;
}

QJsonDocument parseJson(const QByteArray& json, QJsonParseError* error)
{
    return QJsonDocument::fromJson(safeForParser(json), error);
}
