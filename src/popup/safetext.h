// Rich text from a message, shown without reading anything it points to.
//
// A message's summary, title and sender may be HTML. Qt's text classes load
// what such HTML refers to (images, background images, style sheets) by
// reading local files synchronously in the GUI thread: <img src="/dev/zero">
// would read until memory runs out, a FIFO would block the agent for good.
#pragma once

#include <QString>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>

class QLabel;

/// What a message's text may load: images written as data: URLs, up to
/// maxImagePixels for all of them together, and the agent's own resources
/// (qrc:). Any other image is a transparent pixel, any other style sheet or
/// document is empty; nothing is opened.
class ResourceGate
{
public:
    /// Pixels of all data: images together (8 MB as 32-bit colour). An image
    /// past that is refused like a local one.
    static constexpr qint64 maxImagePixels = qint64(2) * 1024 * 1024;

    /// What a text document is to use for the resource (never null for an
    /// image, so that Qt does not go and read the file itself).
    QVariant load(int type, const QUrl& name);
    /// How many resources were refused so far.
    int refusedCount() const { return refused; }

private:
    QVariant loadDataImage(const QUrl& name);

    qint64 pixelsLoaded = 0;
    int refused = 0;
};

/// A text document that loads only what a ResourceGate lets through.
class SafeTextDocument : public QTextDocument
{
    Q_OBJECT

public:
    /// Largest width and height an image is shown at.
    static constexpr int maxImageSide = 1024;
    /// Largest font size, in points (pixel sizes likewise, at 96 dpi).
    static constexpr int maxFontPoints = 48;

    explicit SafeTextDocument(QObject* parent = nullptr);

    /// Sets html in font (the default of what it does not style) and
    /// sanitizes it.
    void read(const QString& html, const QFont& font);
    /// Decides now about every image of the document: a refused one becomes a
    /// transparent pixel, every image gets both sides, at most maxImageSide;
    /// fonts are made at most maxFontPoints large, and tool tips (shown as
    /// rich text themselves) are dropped. Call after setting the text, before
    /// anything lays the document out.
    void sanitize();
    /// How many resources were refused so far.
    int refusedCount() const { return gate.refusedCount(); }

protected:
    QVariant loadResource(int type, const QUrl& name) override;

private:
    ResourceGate gate;
};

/// The text browser of a popup: it loads only what a ResourceGate lets
/// through. (A document of its own would lose the browser's lazy layout.)
class SafeTextBrowser : public QTextBrowser
{
    Q_OBJECT

public:
    using QTextBrowser::QTextBrowser;
    QVariant loadResource(int type, const QUrl& name) override;

private:
    ResourceGate gate;
};

namespace safetext {

/// Characters of a text shown at most; the rest is cut. More than a popup can
/// show, and what Qt lays out in a few milliseconds (a 7 MB text took it
/// longer than 5 s, and 350 MB).
constexpr int maxTextLength = 100 * 1000;

/// Shows text (at most maxTextLength of it) in a label: plain text as such;
/// rich text through a SafeTextDocument, as HTML that refers to nothing but
/// data: and qrc: images, or where that cannot be had, as its plain text.
void setLabelText(QLabel* label, const QString& text);

/// Shows text (at most maxTextLength of it) in a popup's text browser: plain
/// text as such; rich text as the HTML of a SafeTextDocument, made safe
/// before the browser lays it out.
void setBrowserText(SafeTextBrowser* browser, const QString& text);

/// The plain text of text (plain or rich; at most maxTextLength of it), for
/// screen readers.
QString plainText(const QString& text);

/// text (plain or rich; at most maxTextLength of it) in the markup that
/// desktop notification services read: bold, italics, underline and, with
/// links, links that the URL policy lets open; everything else as escaped
/// text, one line per paragraph.
QString notificationMarkup(const QString& text, bool links);

} // namespace safetext
