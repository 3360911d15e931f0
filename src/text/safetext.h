// Rich text from a message, shown without reading anything it points to.
//
// A message's summary, title and sender may be HTML. Qt's text classes load
// what such HTML refers to (images, background images, style sheets) by
// reading local files synchronously in the GUI thread: <img src="/dev/zero">
// would read until memory runs out, a FIFO would block the agent for good.
#pragma once

#include "message/limits.h"

#include <QFont>
#include <QString>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <QVector>

class QLabel;

/// What a message's text may load: images written as data: URLs, up to
/// limits::maxImagePixels for all of them together (an image past that is
/// refused like a local one), and the agent's own resources
/// (qrc:). Any other image is a transparent pixel, any other style sheet or
/// document is empty; nothing is opened.
class ResourceGate
{
public:
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
    explicit SafeTextDocument(QObject* parent = nullptr);

    /// Sets html in font (the default of what it does not style) and
    /// sanitizes it.
    void read(const QString& html, const QFont& font);
    /// Decides now about every image of the document: a refused one becomes a
    /// transparent pixel, every image gets both sides, at most
    /// limits::maxImageSide; fonts are made at most limits::maxFontPoints
    /// large, and tool tips (shown as
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

/// What a widget is to show for a text: HTML that refers to nothing but data:
/// and qrc: images, or plain text.
struct Shown
{
    bool rich = false;
    QString text;
};

/// Reads HTML that the filter let through (htmlfilter::filter) as a label
/// (forLabel) or a text browser would show it, in font, and lays it out at
/// width (-1: unbounded, as a label that does not wrap). Any thread; this is
/// the work that the layout budget bounds.
Shown readFiltered(const QString& html, const QString& plain, bool forLabel, const QFont& font,
                   int width);

/// The texts of one popup, made ready off the calling thread all at once:
/// plain text as such; HTML through the filter, then read and laid out in a
/// thread of its own. A text whose thread has spent the budget of CPU time
/// on it (or that is not ready after limits::layoutWaitMs, however busy the
/// machine), or that the filter finds past a limit, is shown as its plain
/// text, with a debug line.
class TextBatch
{
public:
    /// Shows text (its first limits::maxTextLength characters) in label.
    void add(QLabel* label, const QString& text);
    /// Shows text (its first limits::maxTextLength characters) in browser.
    void add(SafeTextBrowser* browser, const QString& text);
    /// Prepares every text, waits for them at most budgetMs, and sets them.
    void show(int budgetMs = limits::layoutBudgetMs);

private:
    struct Entry
    {
        QLabel* label;
        SafeTextBrowser* browser;
        QString text;
    };
    QVector<Entry> entries;
};

/// A TextBatch of one text.
void setLabelText(QLabel* label, const QString& text);
void setBrowserText(SafeTextBrowser* browser, const QString& text);

/// The plain text of text (plain or rich; at most limits::maxTextLength of
/// it), for screen readers.
QString plainText(const QString& text);

/// Layouts that ran past their budget and have not ended yet. Nothing can
/// stop them, so the agent ends without waiting for them.
int lateLayouts();

/// text (plain or rich; at most limits::maxTextLength of it) in the markup that
/// desktop notification services read: bold, italics, underline and, with
/// links, links that the URL policy lets open; everything else as escaped
/// text, one line per paragraph.
QString notificationMarkup(const QString& text, bool links);

} // namespace safetext
