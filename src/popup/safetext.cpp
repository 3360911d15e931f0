#include "safetext.h"

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

bool isPlaceholder(const QVariant& value)
{
    return value.userType() == QMetaType::QImage &&
           value.value<QImage>().cacheKey() == transparentPixel().cacheKey();
}

} // namespace

SafeTextDocument::SafeTextDocument(QObject* parent) : QTextDocument(parent) {}

QVariant SafeTextDocument::loadResource(int type, const QUrl& name)
{
    QVariant value;
    const QString scheme = name.scheme().toLower();
    if (scheme == QLatin1String("qrc")) {
        // The agent's own resources, compiled in: nothing outside is read.
        QFile file(QLatin1Char(':') + name.path());
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            QImage image;
            if (type != ImageResource) {
                value = bytes;
            } else if (image.loadFromData(bytes)) {
                value = image;
            }
        }
    } else if (scheme == QLatin1String("data") && type == ImageResource) {
        value = loadDataImage(name);
    }
    if (!value.isValid()) {
        return refuse(type, name);
    }
    // Kept, so that the document neither loads nor counts it twice.
    addResource(type, name, value);
    return value;
}

QVariant SafeTextDocument::loadDataImage(const QUrl& name)
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

QVariant SafeTextDocument::refuse(int type, const QUrl& name)
{
    if (refused++ == 0) {
        qDebug().noquote() << "text resource not loaded (only data: images and the agent's own):"
                           << name.toString().left(100);
    }
    const QVariant value =
        type == ImageResource ? QVariant(transparentPixel()) : QVariant(QByteArray());
    addResource(type, name, value);
    return value;
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
                if (isPlaceholder(resource(ImageResource, QUrl(source)))) {
                    image.setName(transparentPixelUrl());
                }
                for (const auto side : {QTextFormat::ImageWidth, QTextFormat::ImageHeight}) {
                    if (image.doubleProperty(side) > maxImageSide) {
                        image.setProperty(side, double(maxImageSide));
                    }
                }
                changed = changed || image != format;
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

void safetext::setLabelText(QLabel* label, const QString& text)
{
    if (!Qt::mightBeRichText(text)) {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
        return;
    }
    SafeTextDocument document;
    document.setDefaultFont(label->font());
    document.setHtml(text);
    document.sanitize();
    const QString html = document.toHtml();
    // The label reads the HTML again with a document of its own, which would
    // load whatever the HTML still refers to: it gets it only if reading it
    // here refuses nothing.
    SafeTextDocument check;
    check.setHtml(html);
    check.sanitize();
    label->setTextFormat(Qt::RichText);
    label->setText(check.refusedCount() == 0 ? html
                                             : Qt::convertFromPlainText(document.toPlainText()));
}

void safetext::setBrowserText(QTextBrowser* browser, const QString& text)
{
    auto* document = new SafeTextDocument(browser);
    document->setDefaultFont(browser->font());
    browser->setDocument(document);
    browser->setText(text);
    document->sanitize();
}

QString safetext::plainText(const QString& text)
{
    if (!Qt::mightBeRichText(text)) {
        return text;
    }
    SafeTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}
