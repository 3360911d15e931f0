// The allow-list of the rich-text filter: the elements and attributes a
// message's text may use, and how each attribute's value and each CSS
// declaration is checked and cut to the limits. htmlfilter.cpp reads the
// HTML and asks these rules; nothing else uses them.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QStringRef>

namespace htmlrules {

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

/// Every element the text may use; any other tag is dropped (its content
/// stays), and the content of those in dropContent() too.
const QHash<QString, ElementRule>& elements();
/// Elements whose content is dropped with them (scripts, style sheets and
/// what a popup would not show).
bool dropContent(const QString& name);
/// The text with its character references decoded.
QString decodeEntities(const QStringRef& text);
/// An attribute's value as the rule allows it, or the null text if it is not
/// allowed at all.
QString htmlAttribute(const AttributeRule& rule, const QString& raw);
/// A style attribute with the allowed declarations only, each rewritten.
QString filterStyle(const QString& style);

} // namespace htmlrules
