#include "text/htmlrules.h"

#include "message/limits.h"

#include <QRegularExpression>

using namespace htmlrules;

namespace {

const QStringList aligns{"left", "right", "center", "justify"};

/// A whole number of at most nine digits, else `most`.
int number(const QStringRef& digits, int most)
{
    return digits.size() > 9 ? most : qMin(digits.toInt(), most);
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

} // namespace

const QHash<QString, ElementRule>& htmlrules::elements()
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

bool htmlrules::dropContent(const QString& name)
{
    static const QStringList names{"script", "style",  "title",    "textarea", "xmp",      "iframe",
                                   "object", "applet", "template", "noframes", "noscript", "svg",
                                   "math",   "select", "frameset", "noembed"};
    return names.contains(name);
}

QString htmlrules::decodeEntities(const QStringRef& text)
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

QString htmlrules::htmlAttribute(const AttributeRule& rule, const QString& raw)
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

QString htmlrules::filterStyle(const QString& style)
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
