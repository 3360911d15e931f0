// The markup a message's text may use, rewritten before Qt reads any of it.
//
// Qt's HTML reader builds whatever the markup asks for: a cell spanning
// 60,000 columns makes a table of 60,000 columns, a padding of 10^8 pixels
// overflows its fixed-point layout and loops for good. So a text goes through
// an allow-list first: known elements and attributes only, every length,
// count and span cut to what a popup of the largest size can show, and the
// elements balanced, so that the tables Qt builds are the ones counted here.
#pragma once

#include <QString>

namespace htmlfilter {

struct Filtered
{
    /// Whether the text is to be shown as HTML: false when it nests deeper,
    /// or holds more tables, images or table cells, than the limits allow.
    bool rich = false;
    /// The allowed markup, balanced, with every value rewritten (when rich).
    QString html;
    /// The text without its markup, as a reader would take it in.
    QString plain;
    /// What was past a limit, for a debug line (when not rich).
    QString why;
};

/// Rewrites HTML text (its first limits::maxTextLength characters are
/// expected) to the allowed markup and its plain text.
Filtered filter(const QString& text);

} // namespace htmlfilter
