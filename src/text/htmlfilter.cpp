#include "htmlfilter.h"

#include "message/limits.h"

#include <QHash>
#include <QRegularExpression>
#include <QVector>

namespace {

/// How an attribute's value is checked and rewritten.
enum class Kind
{
    Url,      ///< any text, at most limits::maxUrlLength characters
    Face,     ///< a font name
    Colour,   ///< #rgb, a colour name, rgb()/rgba()
    FontSize, ///< an HTML font size: 1 to 7, or +n/-n
    Box,      ///< pixels, at most limits::maxBoxLength
    Extent,   ///< pixels (at most limits::maxExtent) or a percentage (at most 100)
    Span,     ///< 1 to limits::maxSpan
    Start,    ///< 0 to limits::maxListStart
    Choice,   ///< one of the words given, in any letter case
    Exact     ///< one of the words given, as written
};

struct AttributeRule
{
    Kind kind;
    QStringList words; ///< for Choice and Exact
};

/// What an element is besides its attributes.
enum Flag : unsigned
{
    Inline = 0,
    Block = 1,   ///< starts and ends a line of the plain text
    Void = 2,    ///< has no content and no end tag
    Table = 4,   ///< <table>
    Row = 8,     ///< <tr>
    Cell = 16,   ///< <td>, <th>
    Pre = 32,    ///< keeps its white space
    Break = 64,  ///< <br>
    Image = 128, ///< <img>
    Term = 256   ///< <dt>, <dd>: only right inside a <dl>
};

struct ElementRule
{
    QString name;
    unsigned flags = Inline;
    QHash<QString, AttributeRule> attributes;
};

const QStringList aligns{"left", "right", "center", "justify"};

/// Every element the text may use; any other tag is dropped (its content
/// stays), and the content of those in dropContent() too.
const QHash<QString, ElementRule>& elements()
{
    static const QHash<QString, ElementRule> rules = [] {
        QHash<QString, ElementRule> r;
        const auto add = [&r](const QStringList& names, unsigned flags,
                              const QHash<QString, AttributeRule>& attributes = {}) {
            for (const QString& name : names) {
                r.insert(name, ElementRule{name, flags, attributes});
            }
        };
        const AttributeRule align{Kind::Choice, aligns};
        const AttributeRule valign{Kind::Choice, {"top", "middle", "bottom", "baseline"}};
        const AttributeRule colour{Kind::Colour, {}};
        const AttributeRule extent{Kind::Extent, {}};
        add({"b",    "strong", "i",    "em",    "u",   "s",    "strike", "del",
             "ins",  "sub",    "sup",  "small", "big", "code", "tt",     "kbd",
             "samp", "var",    "cite", "dfn",   "q",   "span", "nobr",   "abbr"},
            Inline);
        add({"a"}, Inline, {{"href", {Kind::Url, {}}}});
        add({"font"}, Inline,
            {{"color", colour}, {"size", {Kind::FontSize, {}}}, {"face", {Kind::Face, {}}}});
        add({"p", "div", "center", "h1", "h2", "h3", "h4", "h5", "h6", "blockquote", "address",
             "dl", "li"},
            Block, {{"align", align}});
        add({"dt", "dd"}, Block | Term, {{"align", align}});
        add({"pre"}, Block | Pre);
        add({"ul"}, Block, {{"type", {Kind::Choice, {"disc", "circle", "square"}}}});
        add({"ol"}, Block,
            {{"type", {Kind::Exact, {"1", "a", "A", "i", "I"}}}, {"start", {Kind::Start, {}}}});
        add({"br"}, Void | Break);
        add({"hr"}, Void | Block, {{"width", extent}});
        add({"img"}, Void | Image,
            {{"src", {Kind::Url, {}}},
             {"width", extent},
             {"height", extent},
             {"align", {Kind::Choice, {"left", "right", "middle", "top", "bottom"}}}});
        add({"table"}, Block | Table,
            {{"border", {Kind::Box, {}}},
             {"cellpadding", {Kind::Box, {}}},
             {"cellspacing", {Kind::Box, {}}},
             {"width", extent},
             {"height", extent},
             {"bgcolor", colour},
             {"align", align}});
        add({"tr"}, Block | Row, {{"bgcolor", colour}, {"align", align}, {"valign", valign}});
        add({"td", "th"}, Block | Cell,
            {{"colspan", {Kind::Span, {}}},
             {"rowspan", {Kind::Span, {}}},
             {"width", extent},
             {"height", extent},
             {"bgcolor", colour},
             {"align", align},
             {"valign", valign}});
        return r;
    }();
    return rules;
}

/// Elements whose content is dropped with them (scripts, style sheets and
/// what a popup would not show).
bool dropContent(const QString& name)
{
    static const QStringList names{"script", "style",  "title",    "textarea", "xmp",      "iframe",
                                   "object", "applet", "template", "noframes", "noscript", "svg",
                                   "math",   "select", "frameset", "noembed"};
    return names.contains(name);
}

/// A whole number of at most nine digits, else `most`.
int number(const QStringRef& digits, int most)
{
    return digits.size() > 9 ? most : qMin(digits.toInt(), most);
}

QString decodeEntities(const QStringRef& text)
{
    if (!text.contains(QLatin1Char('&'))) {
        return text.toString();
    }
    static const QHash<QString, QChar> named{{"amp", '&'},  {"lt", '<'},    {"gt", '>'},
                                             {"quot", '"'}, {"apos", '\''}, {"nbsp", QChar(0xA0)}};
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const int semicolon = c == QLatin1Char('&') ? text.indexOf(QLatin1Char(';'), i) : -1;
        if (semicolon < 0 || semicolon - i > 12) {
            out.append(c);
            continue;
        }
        const QStringRef name = text.mid(i + 1, semicolon - i - 1);
        uint code = 0;
        bool ok = false;
        if (name.startsWith(QLatin1String("#x")) || name.startsWith(QLatin1String("#X"))) {
            code = name.mid(2).toUInt(&ok, 16);
        } else if (name.startsWith(QLatin1Char('#'))) {
            code = name.mid(1).toUInt(&ok, 10);
        } else if (named.contains(name.toString())) {
            out.append(named.value(name.toString()));
            i = semicolon;
            continue;
        }
        if (!ok) {
            out.append(c);
            continue;
        }
        if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            code = 0xFFFD;
        }
        out.append(QString::fromUcs4(&code, 1));
        i = semicolon;
    }
    return out;
}

bool isColour(const QString& value)
{
    static const QRegularExpression colour(
        QStringLiteral("^(#[0-9a-fA-F]{3,8}|[a-zA-Z]{1,32}|rgba?\\([0-9.,%\\s]{1,40}\\))$"));
    return colour.match(value).hasMatch();
}

bool isFace(const QString& value)
{
    if (value.isEmpty() || value.size() > limits::maxFontNameLength) {
        return false;
    }
    for (const QChar c : value) {
        if (!c.isLetterOrNumber() && !QStringLiteral(" ,-_'\"").contains(c)) {
            return false;
        }
    }
    return true;
}

/// A length: digits (a fraction is dropped) and a unit. Pixels (also without
/// a unit), points (4/3 pixel) and ems (16 pixels at most) are cut to
/// mostPixels, per cents to mostPercent (0: none allowed); points and ems
/// only in CSS. The null text if value is no such length.
QString length(const QString& value, int mostPixels, int mostPercent, bool css)
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]{1,40})(?:\\.[0-9]*)?\\s*(px|pt|em|%)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = pattern.match(value);
    if (!m.hasMatch()) {
        return {};
    }
    const QString unit = m.captured(2).toLower();
    const bool percent = unit == QLatin1String("%");
    const bool point = unit == QLatin1String("pt");
    const bool em = unit == QLatin1String("em");
    if ((percent && mostPercent == 0) || (!css && (point || em))) {
        return {};
    }
    const int most = percent ? mostPercent
                     : point ? mostPixels * 3 / 4
                     : em    ? mostPixels / 16
                             : mostPixels;
    // CSS reads a bare number as something else (a line height in lines), an
    // HTML attribute wants one without "px".
    const QString written = css && unit.isEmpty()                 ? QStringLiteral("px")
                            : !css && unit == QLatin1String("px") ? QString()
                                                                  : unit;
    return QString::number(number(m.capturedRef(1), most)) + written;
}

QString htmlAttribute(const AttributeRule& rule, const QString& raw)
{
    const QString value = raw.trimmed();
    switch (rule.kind) {
    case Kind::Url:
        return value.size() <= limits::maxUrlLength || value.startsWith(QLatin1String("data:"))
                   ? value
                   : QString();
    case Kind::Face:
        return isFace(value) ? value : QString();
    case Kind::Colour:
        return isColour(value) ? value : QString();
    case Kind::FontSize: {
        static const QRegularExpression size(QStringLiteral("^[+-]?[1-7]$"));
        return size.match(value).hasMatch() ? value : QString();
    }
    case Kind::Box:
        return length(value, limits::maxBoxLength, 0, false);
    case Kind::Extent:
        return length(value, limits::maxExtent, 100, false);
    case Kind::Span:
    case Kind::Start: {
        static const QRegularExpression digits(QStringLiteral("^\\+?([0-9]{1,40})$"));
        const QRegularExpressionMatch m = digits.match(value);
        if (!m.hasMatch()) {
            return rule.kind == Kind::Start && value.startsWith(QLatin1Char('-'))
                       ? QStringLiteral("0")
                       : QString();
        }
        const int n = number(m.capturedRef(1),
                             rule.kind == Kind::Span ? limits::maxSpan : limits::maxListStart);
        return QString::number(rule.kind == Kind::Span ? qMax(1, n) : n);
    }
    case Kind::Choice:
        return rule.words.contains(value.toLower()) ? value.toLower() : QString();
    case Kind::Exact:
        return rule.words.contains(value) ? value : QString();
    }
    return {};
}

/// One CSS declaration's value rewritten, or the null text if it is not
/// allowed (the name is lower case).
QString cssValue(const QString& name, const QString& value)
{
    const auto oneOf = [&value](const QStringList& words) {
        return words.contains(value.toLower()) ? value.toLower() : QString();
    };
    const auto lengths = [&value](int most, int percent, int count) {
        const QStringList parts = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (parts.isEmpty() || parts.size() > count) {
            return QString();
        }
        QStringList out;
        for (const QString& part : parts) {
            out << length(part, most, percent, true);
            if (out.last().isNull()) {
                return QString();
            }
        }
        return out.join(QLatin1Char(' '));
    };
    static const QStringList borderStyles{"none",   "dotted",   "dashed",      "solid",
                                          "double", "groove",   "ridge",       "inset",
                                          "outset", "dot-dash", "dot-dot-dash"};
    static const QStringList listStyles{"disc",        "circle",      "square",
                                        "decimal",     "lower-alpha", "upper-alpha",
                                        "lower-roman", "upper-roman", "none"};
    if (name == QLatin1String("color") || name == QLatin1String("background-color") ||
        name == QLatin1String("border-color") || name == QLatin1String("background")) {
        return isColour(value) ? value : QString();
    }
    if (name == QLatin1String("font-weight")) {
        return oneOf({"normal", "bold", "bolder", "lighter", "100", "200", "300", "400", "500",
                      "600", "700", "800", "900"});
    }
    if (name == QLatin1String("font-style")) {
        return oneOf({"normal", "italic", "oblique"});
    }
    if (name == QLatin1String("font-size")) {
        const QString keyword = oneOf({"xx-small", "x-small", "small", "medium", "large", "x-large",
                                       "xx-large", "smaller", "larger"});
        return keyword.isNull() ? lengths(limits::maxFontPoints * 4 / 3, 400, 1) : keyword;
    }
    if (name == QLatin1String("font-family")) {
        return isFace(value) ? value : QString();
    }
    if (name == QLatin1String("text-decoration")) {
        static const QStringList words{"none", "underline", "overline", "line-through"};
        for (const QString& word : value.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (!words.contains(word)) {
                return {};
            }
        }
        return value.toLower();
    }
    if (name == QLatin1String("text-align")) {
        return oneOf(aligns);
    }
    if (name == QLatin1String("vertical-align")) {
        return oneOf({"baseline", "sub", "super", "middle", "top", "bottom"});
    }
    if (name == QLatin1String("white-space")) {
        return oneOf({"normal", "pre", "nowrap", "pre-wrap", "pre-line"});
    }
    if (name == QLatin1String("margin") || name == QLatin1String("padding")) {
        return lengths(limits::maxBoxLength, 0, 4);
    }
    if (name.startsWith(QLatin1String("margin-")) || name.startsWith(QLatin1String("padding-"))) {
        static const QStringList sides{"top", "right", "bottom", "left"};
        return sides.contains(name.section(QLatin1Char('-'), 1))
                   ? lengths(limits::maxBoxLength, 0, 1)
                   : QString();
    }
    if (name == QLatin1String("text-indent") || name == QLatin1String("border-width")) {
        return lengths(limits::maxBoxLength, 0, 1);
    }
    if (name == QLatin1String("width") || name == QLatin1String("height")) {
        return lengths(limits::maxExtent, 100, 1);
    }
    if (name == QLatin1String("line-height")) {
        return value == QLatin1String("normal")
                   ? value
                   : lengths(limits::maxBoxLength, limits::maxLineHeightPercent, 1);
    }
    if (name == QLatin1String("border-style")) {
        return oneOf(borderStyles);
    }
    if (name == QLatin1String("border")) {
        QStringList out;
        for (const QString& part : value.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QString width = length(part, limits::maxBoxLength, 0, true);
            if (!width.isNull()) {
                out << width;
            } else if (borderStyles.contains(part.toLower())) {
                out << part.toLower();
            } else if (isColour(part)) {
                out << part;
            } else {
                return {};
            }
        }
        return out.size() > 3 || out.isEmpty() ? QString() : out.join(QLatin1Char(' '));
    }
    if (name == QLatin1String("border-collapse")) {
        return oneOf({"collapse", "separate"});
    }
    if (name == QLatin1String("list-style-type") || name == QLatin1String("list-style")) {
        return oneOf(listStyles);
    }
    if (name == QLatin1String("float")) {
        return oneOf({"none", "left", "right"});
    }
    return {};
}

/// A style attribute with the allowed declarations only, each rewritten.
QString filterStyle(const QString& style)
{
    static const QRegularExpression important(QStringLiteral("\\s*!\\s*important\\s*$"),
                                              QRegularExpression::CaseInsensitiveOption);
    QStringList kept;
    for (const QString& declaration : style.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const int colon = declaration.indexOf(QLatin1Char(':'));
        if (colon < 0) {
            continue;
        }
        const QString name = declaration.left(colon).trimmed().toLower();
        QString value = declaration.mid(colon + 1).trimmed();
        value.remove(important);
        value = value.simplified();
        const QString clean = cssValue(name, value);
        if (!clean.isEmpty()) {
            kept << (name == QLatin1String("background") ? QStringLiteral("background-color")
                                                         : name) +
                        QLatin1Char(':') + clean;
        }
    }
    return kept.join(QLatin1Char(';'));
}

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
