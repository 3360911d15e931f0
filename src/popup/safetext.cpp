#include "safetext.h"

#include "core/urlpolicy.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVector>

namespace {

/// What a refused image shows: one transparent pixel.
const QImage& transparentPixel()
{
    static const QImage image = [] {
        QImage pixel(1, 1, QImage::Format_ARGB32);
        pixel.fill(Qt::transparent);
        return pixel;
    }();
    return image;
}

/// The same pixel as a data: URL, which any text document reads by itself.
const QString& transparentPixelUrl()
{
    static const QString url = [] {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        transparentPixel().save(&buffer, "PNG");
        return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
    }();
    return url;
}

/// Whether Qt may read text as HTML in reasonable time. Its HTML parser takes
/// time quadratic in how deeply elements nest (20,000 nested div elements:
/// 7 s) and in the images of one paragraph (8,000 in 124 kB: 3 s), and its
/// layout time doubles with every table nested in another (21 levels: 9 s):
/// text past these bounds is shown as plain text. The depth is counted from
/// the tags alone, as if no element closed by itself, so it can only come out
/// too high.
bool readableAsHtml(const QString& text)
{
    static const QStringList empty{"area",  "base", "br",   "col",   "embed",  "hr",    "img",
                                   "input", "link", "meta", "param", "source", "track", "wbr"};
    const int maxDepth = 256;
    const int maxTables = 8;
    const int maxImages = 256;
    int depth = 0;
    int tables = 0;
    int images = 0;
    for (int at = text.indexOf(QLatin1Char('<')); at >= 0;
         at = text.indexOf(QLatin1Char('<'), at + 1)) {
        const bool closing = text.midRef(at + 1, 1) == QLatin1String("/");
        int end = at + (closing ? 2 : 1);
        while (end < text.size() && text.at(end).isLetterOrNumber()) {
            ++end;
        }
        const QString name =
            text.mid(at + (closing ? 2 : 1), end - at - (closing ? 2 : 1)).toLower();
        if (name == QLatin1String("img") && !closing && ++images > maxImages) {
            return false;
        }
        if (name.isEmpty() || !name.at(0).isLetter() || empty.contains(name)) {
            continue;
        }
        const int step = closing ? -1 : 1;
        depth = qMax(0, depth + step);
        if (name == QLatin1String("table")) {
            tables = qMax(0, tables + step);
        }
        if (depth > maxDepth || tables > maxTables) {
            return false;
        }
    }
    return true;
}

/// Whether text is to be read as HTML: what Qt guesses, and readable.
bool isHtml(const QString& text)
{
    return Qt::mightBeRichText(text) && readableAsHtml(text);
}

bool isPlaceholder(const QVariant& value)
{
    return value.userType() == QMetaType::QImage &&
           value.value<QImage>().cacheKey() == transparentPixel().cacheKey();
}

} // namespace

QVariant ResourceGate::load(int type, const QUrl& name)
{
    QVariant value;
    const QString scheme = name.scheme().toLower();
    if (scheme == QLatin1String("qrc")) {
        // The agent's own resources, compiled in: nothing outside is read.
        QFile file(QLatin1Char(':') + name.path());
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            QImage image;
            if (type != QTextDocument::ImageResource) {
                value = bytes;
            } else if (image.loadFromData(bytes)) {
                value = image;
            }
        }
    } else if (scheme == QLatin1String("data") && type == QTextDocument::ImageResource) {
        value = loadDataImage(name);
    }
    if (value.isValid()) {
        return value;
    }
    if (refused++ == 0) {
        qDebug().noquote() << "text resource not loaded (only data: images and the agent's own):"
                           << name.toString().left(100);
    }
    return type == QTextDocument::ImageResource ? QVariant(transparentPixel())
                                                : QVariant(QByteArray());
}

QVariant ResourceGate::loadDataImage(const QUrl& name)
{
    QByteArray url = name.toEncoded();
    url = QByteArray::fromPercentEncoding(url.mid(url.indexOf(':') + 1)); // after "data:"
    const int comma = url.indexOf(',');
    if (comma < 0) {
        return {};
    }
    QByteArray payload = url.mid(comma + 1);
    if (url.left(comma).trimmed().toLower().endsWith(";base64")) {
        payload = QByteArray::fromBase64(payload);
    }
    QBuffer buffer(&payload);
    QImageReader reader(&buffer);
    // Formats that are pixels only (an SVG image may refer to files).
    static const QList<QByteArray> formats{"png", "jpeg", "gif", "bmp"};
    if (!formats.contains(reader.format())) {
        return {};
    }
    // Qt 5 sets no limit on what a decoder allocates: ask the header first.
    const QSize size = reader.size();
    const qint64 pixels = size.isValid() ? qint64(size.width()) * size.height() : 0;
    if (pixels <= 0 || pixelsLoaded + pixels > maxImagePixels) {
        return {};
    }
    QImage image;
    if (!reader.read(&image)) {
        return {};
    }
    pixelsLoaded += pixels;
    return image;
}

SafeTextDocument::SafeTextDocument(QObject* parent) : QTextDocument(parent) {}

QVariant SafeTextDocument::loadResource(int type, const QUrl& name)
{
    QVariant value = gate.load(type, name);
    // Kept, so that the document neither loads nor counts it twice.
    addResource(type, name, value);
    return value;
}

QVariant SafeTextBrowser::loadResource(int type, const QUrl& name)
{
    return gate.load(type, name);
}

void SafeTextDocument::read(const QString& html, const QFont& font)
{
    setDefaultFont(font);
    setHtml(html);
    sanitize();
}

void SafeTextDocument::sanitize()
{
    struct Change
    {
        int position;
        int length;
        QTextCharFormat format;
    };
    QVector<Change> changes;
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QTextCharFormat format = fragment.charFormat();
            bool changed = format.hasProperty(QTextFormat::TextToolTip);
            format.clearProperty(QTextFormat::TextToolTip);
            // Glyphs are drawn at the size asked for: a huge one costs memory.
            if (format.doubleProperty(QTextFormat::FontPointSize) > maxFontPoints) {
                format.setFontPointSize(maxFontPoints);
                changed = true;
            }
            if (format.intProperty(QTextFormat::FontPixelSize) > maxFontPoints * 4 / 3) {
                format.setProperty(QTextFormat::FontPixelSize, maxFontPoints * 4 / 3);
                changed = true;
            }
            if (format.isImageFormat()) {
                QTextImageFormat image = format.toImageFormat();
                QString source = image.name();
                if (source.startsWith(QLatin1String(":/"))) {
                    source.prepend(QLatin1String("qrc")); // as Qt's image handler reads it
                }
                const QVariant loaded = resource(ImageResource, QUrl(source));
                if (isPlaceholder(loaded)) {
                    image.setName(transparentPixelUrl());
                }
                // Both sides given, so that the layout never scales one by the
                // other itself (in int, which a height of 10^8 overflows).
                const QSizeF natural = loaded.value<QImage>().size().expandedTo(QSize(1, 1));
                const bool hasWidth = image.hasProperty(QTextFormat::ImageWidth);
                const bool hasHeight = image.hasProperty(QTextFormat::ImageHeight);
                const qreal width = hasWidth ? image.width()
                                    : hasHeight
                                        ? image.height() * natural.width() / natural.height()
                                        : natural.width();
                const qreal height = hasHeight  ? image.height()
                                     : hasWidth ? width * natural.height() / natural.width()
                                                : natural.height();
                image.setWidth(qBound<qreal>(0, width, maxImageSide));
                image.setHeight(qBound<qreal>(0, height, maxImageSide));
                changed = true;
                format = image;
            }
            if (changed) {
                changes.append(Change{fragment.position(), fragment.length(), format});
            }
        }
    }
    QTextCursor cursor(this);
    for (const Change& change : qAsConst(changes)) {
        cursor.setPosition(change.position);
        cursor.setPosition(change.position + change.length, QTextCursor::KeepAnchor);
        cursor.setCharFormat(change.format);
    }
}

void safetext::setLabelText(QLabel* label, const QString& whole)
{
    const QString text = whole.left(maxTextLength);
    if (!isHtml(text)) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
        return;
    }
    SafeTextDocument document;
    document.read(text, label->font());
    const QString html = document.toHtml();
    // The label reads the HTML again with a document of its own, which would
    // load whatever the HTML still refers to: it gets it only if reading it
    // here refuses nothing.
    SafeTextDocument check;
    check.read(html, label->font());
    label->setTextFormat(Qt::RichText);
    label->setText(check.refusedCount() == 0 ? html
                                             : Qt::convertFromPlainText(document.toPlainText()));
}

void safetext::setBrowserText(SafeTextBrowser* browser, const QString& whole)
{
    const QString text = whole.left(maxTextLength);
    if (!isHtml(text)) {
        browser->setPlainText(text);
        return;
    }
    // Made safe before the browser lays it out: what the text asks for (an
    // image 10^8 pixels high) could take the main thread for good.
    SafeTextDocument safe;
    safe.read(text, browser->font());
    browser->setHtml(safe.toHtml());
}

QString safetext::plainText(const QString& whole)
{
    QString text = whole.left(maxTextLength);
    if (!isHtml(text)) {
        return text;
    }
    SafeTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}

QString safetext::notificationMarkup(const QString& whole, bool links)
{
    const QString text = whole.left(maxTextLength);
    if (!isHtml(text)) {
        return text.toHtmlEscaped();
    }
    SafeTextDocument document;
    document.setHtml(text);
    QString out;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block != document.begin()) {
            out += QLatin1Char('\n');
        }
        if (block.textList()) {
            out += QStringLiteral("\u2022 ");
        }
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            QString piece = fragment.text()
                                .remove(QChar::ObjectReplacementCharacter) // images
                                .replace(QChar::LineSeparator, QLatin1Char('\n'))
                                .toHtmlEscaped();
            if (piece.isEmpty()) {
                continue;
            }
            const QUrl href(format.anchorHref(), QUrl::TolerantMode);
            for (const auto& [on, tag] :
                 {std::pair{format.fontWeight() > QFont::Normal, "b"},
                  std::pair{format.fontItalic(), "i"},
                  std::pair{format.fontUnderline() && !format.isAnchor(), "u"}}) {
                if (on) {
                    piece = QStringLiteral("<%1>%2</%1>").arg(QLatin1String(tag), piece);
                }
            }
            if (links && format.isAnchor() && urlpolicy::mayOpenExternally(href)) {
                piece = QStringLiteral("<a href=\"%1\">%2</a>")
                            .arg(href.toString(QUrl::FullyEncoded).toHtmlEscaped(), piece);
            }
            out += piece;
        }
    }
    return out;
}
