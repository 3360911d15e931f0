// The rich-text filter: reads untrusted HTML with a tokenizer of its own
// (entities, attributes, comments, raw-text elements) and writes only what
// the allow-list (htmlrules) lets through, balanced and within the limits,
// or the plain text where a count is passed. Why it has its own tokenizer
// and not an HTML5 parser: docs/reliability.md, "The filter's HTML reader".
#include "htmlfilter.h"

#include "message/limits.h"
#include "text/htmlrules.h"

#include <QHash>
#include <QVector>

using namespace htmlrules;

namespace {

struct Attribute
{
    QString name;
    QString value; // entities decoded
};

/// The filter's state while it reads one text.
class Writer
{
public:
    htmlfilter::Filtered result;

    void text(const QStringRef& raw)
    {
        if (raw.isEmpty()) {
            return;
        }
        if (!over && (tables.isEmpty() || inCell() || raw.trimmed().isEmpty())) {
            result.html += raw; // not outside the cells of a table: see open()
        }
        const QString decoded = decodeEntities(raw);
        for (const QChar c : decoded) {
            if (pre > 0) {
                result.plain += c == QChar(0xA0) ? QChar(' ') : c;
            } else if (c.isSpace()) {
                space = true;
            } else {
                if (space && !result.plain.isEmpty() && !result.plain.endsWith(QLatin1Char('\n'))) {
                    result.plain += QLatin1Char(' ');
                }
                space = false;
                result.plain += c;
            }
        }
    }

    void open(const ElementRule& rule, const QVector<Attribute>& attributes)
    {
        if (over) {
            lineBreak(rule);
            return;
        }
        if (rule.flags & (Row | Cell)) {
            if (tables.isEmpty() || !structure(rule)) {
                return;
            }
        } else if (!tables.isEmpty() && !inCell()) {
            // In a table but outside its cells: Qt would make rows, or
            // tables, of its own for it.
            lineBreak(rule);
            return;
        } else {
            closeImplied(rule);
            if ((rule.flags & Term) &&
                (stack.isEmpty() || stack.last()->name != QLatin1String("dl"))) {
                lineBreak(rule); // Qt would close whatever is open, a table too, up to a list
                return;
            }
        }
        if ((rule.flags & Table) && tables.size() == limits::maxNestedTables) {
            exceed(QStringLiteral("tables nested deeper than %1").arg(limits::maxNestedTables));
        }
        if ((rule.flags & Image) && ++images > limits::maxImages) {
            exceed(QStringLiteral("more than %1 images").arg(limits::maxImages));
        }
        if (!(rule.flags & Void) && stack.size() == limits::maxHtmlDepth) {
            exceed(QStringLiteral("elements nested deeper than %1").arg(limits::maxHtmlDepth));
        }
        if (over) {
            lineBreak(rule);
            return;
        }
        QString tag = QLatin1Char('<') + rule.name;
        QStringList seen;
        int colspan = 1;
        int rowspan = 1;
        for (const Attribute& a : attributes) {
            const bool known = a.name == QLatin1String("style") || a.name == QLatin1String("dir") ||
                               rule.attributes.contains(a.name);
            if (!known || seen.contains(a.name)) {
                continue; // the first of a repeated attribute counts
            }
            seen << a.name;
            QString value;
            if (a.name == QLatin1String("style")) {
                value = filterStyle(a.value);
            } else if (a.name == QLatin1String("dir")) {
                value = a.value.trimmed().toLower();
                value = value == QLatin1String("ltr") || value == QLatin1String("rtl") ? value
                                                                                       : QString();
            } else {
                value = htmlAttribute(rule.attributes.value(a.name), a.value);
            }
            if (value.isEmpty()) {
                continue;
            }
            if (a.name == QLatin1String("colspan")) {
                colspan = value.toInt();
            } else if (a.name == QLatin1String("rowspan")) {
                rowspan = value.toInt();
            }
            tag += QLatin1Char(' ') + a.name + QStringLiteral("=\"") + value.toHtmlEscaped() +
                   QLatin1Char('"');
        }
        result.html += tag + QLatin1Char('>');
        lineBreak(rule);
        if (rule.flags & Void) {
            return;
        }
        stack.append(&rule);
        if (rule.flags & Pre) {
            ++pre;
        }
        if (rule.flags & Table) {
            tables.append(TableCount{stack.size() - 1});
        } else if (rule.flags & Row) {
            ++tables.last().rows;
            tables.last().width = 0;
        } else if (rule.flags & Cell) {
            TableCount& t = tables.last();
            t.width += colspan;
            t.widest = qMax(t.widest, t.width);
            t.spanned += rowspan > 1 ? colspan : 0;
        }
    }

    /// An end tag: closes the element and whatever is open inside it, but
    /// never reaches out of the table (row, cell) it is in.
    void close(const QString& name)
    {
        const auto it = elements().constFind(name);
        if (it == elements().constEnd() || (it->flags & Void)) {
            return;
        }
        for (int i = stack.size() - 1; i >= 0; --i) {
            if (stack.at(i) == &*it) {
                closeDownTo(i);
                return;
            }
            const bool tablePart = stack.at(i)->flags & (Table | Row | Cell);
            const bool closesTablePart = it->flags & (Table | Row | Cell);
            if (tablePart && (!closesTablePart || (stack.at(i)->flags & Table))) {
                return;
            }
        }
    }

    void finish()
    {
        closeDownTo(0);
        while (result.plain.endsWith(QLatin1Char('\n'))) {
            result.plain.chop(1);
        }
        result.rich = !over;
        if (over) {
            result.html.clear();
        }
    }

private:
    struct TableCount
    {
        int element; // its place in stack
        int rows = 0;
        int width = 0;   // of the current row
        int widest = 0;  // of any row
        int spanned = 0; // columns that a cell spanning rows takes in later rows
    };

    /// Whether a cell of the innermost table is open.
    bool inCell() const
    {
        for (int i = stack.size() - 1; i > tables.last().element; --i) {
            if (stack.at(i)->flags & Cell) {
                return true;
            }
        }
        return false;
    }

    /// Opens the row a cell needs, or closes the cell or row that a new one
    /// ends; false when the element has no place (outside any table).
    bool structure(const ElementRule& rule)
    {
        const int table = tables.last().element;
        int row = -1;
        for (int i = stack.size() - 1; i > table; --i) {
            if (stack.at(i)->flags & Row) {
                row = i;
            }
        }
        if ((rule.flags & Cell) && row >= 0) {
            closeDownTo(row + 1);
            return true;
        }
        closeDownTo(table + 1);
        if (rule.flags & Cell) {
            open(*elements().constFind(QStringLiteral("tr")), {});
        }
        return true;
    }

    void closeDownTo(int depth)
    {
        while (stack.size() > depth) {
            const ElementRule* rule = stack.takeLast();
            result.html += QStringLiteral("</") + rule->name + QLatin1Char('>');
            lineBreak(*rule);
            if (rule->flags & Pre) {
                --pre;
            }
            if (rule->flags & Table) {
                const TableCount t = tables.takeLast();
                cells += (qint64(t.rows) * (t.widest + t.spanned)) << tables.size();
                if (cells > limits::maxTableCells) {
                    exceed(QStringLiteral("more than %1 table cells").arg(limits::maxTableCells));
                }
            }
        }
    }

    void lineBreak(const ElementRule& rule)
    {
        if (!(rule.flags & (Break | Block))) {
            return;
        }
        if ((rule.flags & Break) ||
            (!result.plain.isEmpty() && !result.plain.endsWith(QLatin1Char('\n')))) {
            result.plain += QLatin1Char('\n');
        }
        space = false;
    }

    /// Closes what a new element ends by itself, as HTML has it: a paragraph
    /// ends where any block starts, a list item where the next starts, a
    /// term or definition where the next one starts.
    void closeImplied(const ElementRule& rule)
    {
        static const auto named = [](const char* name) {
            return &*elements().constFind(QLatin1String(name));
        };
        static const ElementRule* const p = named("p");
        static const ElementRule* const li = named("li");
        static const ElementRule* const dt = named("dt");
        static const ElementRule* const dd = named("dd");
        static const ElementRule* const ul = named("ul");
        static const ElementRule* const ol = named("ol");
        static const ElementRule* const dl = named("dl");
        if (!(rule.flags & Block)) {
            return;
        }
        const bool item = &rule == li;
        const bool term = &rule == dt || &rule == dd;
        for (int i = stack.size() - 1; i >= 0; --i) {
            const ElementRule* open = stack.at(i);
            if (open->flags & (Table | Row | Cell)) {
                return;
            }
            if (open == p || (item && open == li) || (term && (open == dt || open == dd))) {
                closeDownTo(i);
                if (open != p) {
                    return;
                }
            } else if ((item && (open == ul || open == ol)) || (term && open == dl)) {
                return;
            }
        }
    }

    void exceed(const QString& why)
    {
        if (!over) {
            over = true;
            result.why = why;
            closeDownTo(0);
        }
    }

    QVector<const ElementRule*> stack;
    QVector<TableCount> tables;
    qint64 cells = 0;
    int images = 0;
    int pre = 0;
    bool space = false;
    bool over = false;
};

/// Reads the attributes of a tag from `at` (after its name) to its '>';
/// returns the offset after the '>', or -1 if the tag never ends.
int readAttributes(const QString& s, int at, QVector<Attribute>* attributes)
{
    const int n = s.size();
    while (at < n) {
        const QChar c = s.at(at);
        if (c == QLatin1Char('>')) {
            return at + 1;
        }
        if (c.isSpace() || c == QLatin1Char('/')) {
            ++at;
            continue;
        }
        const int nameStart = at;
        while (at < n && !s.at(at).isSpace() && s.at(at) != QLatin1Char('=') &&
               s.at(at) != QLatin1Char('>') && s.at(at) != QLatin1Char('/')) {
            ++at;
        }
        Attribute attribute{s.mid(nameStart, at - nameStart).toLower(), QString()};
        while (at < n && s.at(at).isSpace()) {
            ++at;
        }
        if (at < n && s.at(at) == QLatin1Char('=')) {
            ++at;
            while (at < n && s.at(at).isSpace()) {
                ++at;
            }
            if (at < n && (s.at(at) == QLatin1Char('"') || s.at(at) == QLatin1Char('\''))) {
                const int end = s.indexOf(s.at(at), at + 1);
                if (end < 0) {
                    return -1;
                }
                attribute.value = decodeEntities(s.midRef(at + 1, end - at - 1));
                at = end + 1;
            } else {
                const int valueStart = at;
                while (at < n && !s.at(at).isSpace() && s.at(at) != QLatin1Char('>')) {
                    ++at;
                }
                attribute.value = decodeEntities(s.midRef(valueStart, at - valueStart));
            }
        }
        if (attribute.name.size() <= 20) {
            attributes->append(attribute);
        }
    }
    return -1;
}

} // namespace

htmlfilter::Filtered htmlfilter::filter(const QString& s)
{
    static const QString lessThan = QStringLiteral("&lt;");
    Writer writer;
    const int n = s.size();
    int at = 0;
    while (at < n) {
        const int lt = s.indexOf(QLatin1Char('<'), at);
        writer.text(s.midRef(at, (lt < 0 ? n : lt) - at));
        if (lt < 0) {
            break;
        }
        at = lt;
        if (s.midRef(at, 4) == QLatin1String("<!--")) {
            const int end = s.indexOf(QLatin1String("-->"), at + 4);
            at = end < 0 ? n : end + 3;
            continue;
        }
        const QChar next = at + 1 < n ? s.at(at + 1) : QChar();
        if (next == QLatin1Char('!') || next == QLatin1Char('?')) {
            const int end = s.indexOf(QLatin1Char('>'), at);
            at = end < 0 ? n : end + 1;
            continue;
        }
        const bool closing = next == QLatin1Char('/');
        int nameEnd = at + (closing ? 2 : 1);
        if (nameEnd >= n || !s.at(nameEnd).isLetter()) {
            writer.text(QStringRef(&lessThan));
            ++at;
            continue;
        }
        while (nameEnd < n && s.at(nameEnd).isLetterOrNumber()) {
            ++nameEnd;
        }
        const QString name =
            s.mid(at + (closing ? 2 : 1), nameEnd - at - (closing ? 2 : 1)).toLower();
        QVector<Attribute> attributes;
        const int end = readAttributes(s, nameEnd, &attributes);
        if (end < 0) { // a tag that never ends: the rest is text
            writer.text(QStringRef(&lessThan));
            const QString rest = s.mid(at + 1).toHtmlEscaped();
            writer.text(QStringRef(&rest));
            break;
        }
        at = end;
        if (closing) {
            writer.close(name);
        } else if (dropContent(name)) {
            const int close = s.indexOf(QStringLiteral("</") + name, at, Qt::CaseInsensitive);
            const int closeEnd = close < 0 ? -1 : s.indexOf(QLatin1Char('>'), close);
            at = closeEnd < 0 ? n : closeEnd + 1;
        } else {
            const auto rule = elements().constFind(name);
            if (rule != elements().constEnd()) {
                writer.open(*rule, attributes);
            }
        }
    }
    writer.finish();
    return writer.result;
}
