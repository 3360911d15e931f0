#include "safetext.h"

#include "text/htmlfilter.h"

#include "core/threadclock.h"
#include "core/urlpolicy.h"

#include <QAbstractTextDocumentLayout>
#include <QBuffer>
#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMutex>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QThreadPool>
#include <QVector>
#include <QWaitCondition>

#include <algorithm>
#include <atomic>
#include <memory>

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
    qint64 pixels = size.isValid() ? qint64(size.width()) * size.height() : 0;
    if (reader.format() == "gif" && pixels > 0) {
        // The decoder draws a GIF's frames on its logical screen, whose size
        // (bytes 6 to 9) the reader does not report: a frame of one pixel
        // can come on a screen of 65,535 x 65,535. A side of 0 the decoder
        // takes from the first frame's far edge, and the other side as
        // written: 53 bytes made a screen of 18,176 x 13,568 pixels (1 GB)
        // that way, where the reader reported 18,176 x 99. No real GIF has
        // such a screen.
        const auto word = [&payload](int at) {
            return payload.size() < at + 2 ? 0 : uchar(payload[at]) | uchar(payload[at + 1]) << 8;
        };
        const qint64 screen = qint64(word(6)) * word(8);
        pixels = screen > 0 ? qMax(pixels, screen) : 0;
    }
    if (pixels <= 0 || pixelsLoaded + pixels > limits::maxImagePixels) {
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
            if (format.doubleProperty(QTextFormat::FontPointSize) > limits::maxFontPoints) {
                format.setFontPointSize(limits::maxFontPoints);
                changed = true;
            }
            if (format.intProperty(QTextFormat::FontPixelSize) > limits::maxFontPoints * 4 / 3) {
                format.setProperty(QTextFormat::FontPixelSize, limits::maxFontPoints * 4 / 3);
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
                image.setWidth(qBound<qreal>(0, width, limits::maxImageSide));
                image.setHeight(qBound<qreal>(0, height, limits::maxImageSide));
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

safetext::Shown safetext::readFiltered(const QString& html, const QString& plain, bool forLabel,
                                       const QFont& font, int width)
{
    SafeTextDocument document;
    document.read(html, font);
    Shown shown{true, document.toHtml()};
    if (forLabel) {
        // The label reads the HTML again with a document of its own, which
        // would load whatever the HTML still refers to: it gets it only if
        // reading it here refuses nothing.
        SafeTextDocument check;
        check.read(shown.text, font);
        if (check.refusedCount() > 0) {
            return Shown{false, plain};
        }
    }
    document.setTextWidth(width);
    document.documentLayout()->documentSize();
    return shown;
}

namespace {

std::atomic<int> runningLayouts{0};

/// The threads that texts are read and laid out in: enough for the texts of
/// one popup besides the late ones. Never deleted, since its deletion would
/// wait for a layout that does not end.
QThreadPool* layoutThreads()
{
    static QThreadPool* pool = [] {
        auto* threads = new QThreadPool();
        threads->setMaxThreadCount(limits::maxLateLayouts + 3);
        return threads;
    }();
    return pool;
}

/// The texts of one batch that are read in threads of their own. Shared with
/// those threads, which may outlive the batch.
struct Layouts
{
    struct Text
    {
        QString html;
        QString plain;
        bool forLabel;
        QString font; ///< described: a QFont's private part belongs to one thread
        int width;
        bool done = false;
        safetext::Shown shown;
        bool started = false;
        ThreadClock cpu;       ///< of the thread that reads it, once started
        double cpuAtStart = 0; ///< ms of that thread's CPU time
    };
    QMutex mutex;
    QWaitCondition finished;
    QVector<Text> texts;
};

void showIn(QLabel* label, const safetext::Shown& shown)
{
    label->setTextFormat(shown.rich ? Qt::RichText : Qt::PlainText);
    label->setText(shown.text);
}

void showIn(SafeTextBrowser* browser, const safetext::Shown& shown)
{
    if (shown.rich) {
        browser->setHtml(shown.text);
    } else {
        browser->setPlainText(shown.text);
    }
}

} // namespace

void safetext::TextBatch::add(QLabel* label, const QString& text)
{
    entries.append(Entry{label, nullptr, text.left(limits::maxTextLength)});
}

void safetext::TextBatch::add(SafeTextBrowser* browser, const QString& text)
{
    entries.append(Entry{nullptr, browser, text.left(limits::maxTextLength)});
}

void safetext::TextBatch::show(int budgetMs)
{
    QElapsedTimer clock;
    clock.start();
    QVector<Shown> shown(entries.size());
    QVector<int> slot(entries.size(), -1); // of each entry in layouts
    auto layouts = std::make_shared<Layouts>();
    for (int i = 0; i < entries.size(); ++i) {
        const Entry& e = entries.at(i);
        shown[i].text = e.text;
        if (!Qt::mightBeRichText(e.text)) {
            continue;
        }
        htmlfilter::Filtered filtered = htmlfilter::filter(e.text);
        shown[i].text = filtered.plain;
        if (!filtered.rich) {
            qDebug().noquote() << "text shown as plain text:" << filtered.why;
            continue;
        }
        QWidget* widget = e.label ? static_cast<QWidget*>(e.label) : e.browser;
        const int width = e.label ? -1 : qMax(200, e.browser->viewport()->width());
        slot[i] = layouts->texts.size();
        layouts->texts.append(Layouts::Text{filtered.html, filtered.plain, e.label != nullptr,
                                            widget->font().toString(), width, false, Shown(), false,
                                            ThreadClock(), 0});
    }
    const int late = runningLayouts.load();
    if (!layouts->texts.isEmpty() && late >= limits::maxLateLayouts) {
        qDebug() << "text shown as plain text:" << late << "layouts still run past their budget";
        layouts->texts.clear();
    }
    for (int t = 0; t < layouts->texts.size(); ++t) {
        ++runningLayouts;
        const bool started = layoutThreads()->tryStart([layouts, t] {
            Layouts::Text job;
            {
                QMutexLocker lock(&layouts->mutex);
                Layouts::Text& text = layouts->texts[t];
                text.cpu = ThreadClock::ofThisThread();
                text.started = text.cpu.valid();
                text.cpuAtStart = text.cpu.cpuMs();
                job = text;
            }
            QFont font;
            font.fromString(job.font);
            const Shown result = readFiltered(job.html, job.plain, job.forLabel, font, job.width);
            QMutexLocker lock(&layouts->mutex);
            layouts->texts[t].shown = result;
            layouts->texts[t].done = true;
            --runningLayouts;
            layouts->finished.wakeAll();
        });
        if (!started) {
            --runningLayouts; // no thread free: the text stays plain
        }
    }
    {
        QMutexLocker lock(&layouts->mutex);
        // Waits while a text is not done and within its budget of CPU time
        // (a busy machine does not make a text plain), but never longer
        // than layoutWaitMs.
        const auto waitFor = [&layouts, budgetMs] {
            return std::any_of(
                layouts->texts.cbegin(), layouts->texts.cend(), [budgetMs](const Layouts::Text& t) {
                    return !t.done && (!t.started || t.cpu.cpuMs() - t.cpuAtStart < budgetMs);
                });
        };
        while (waitFor() && clock.elapsed() < limits::layoutWaitMs) {
            layouts->finished.wait(&layouts->mutex, 10);
        }
        for (int i = 0; i < entries.size(); ++i) {
            if (slot[i] < 0) {
                continue;
            }
            const Layouts::Text& t = layouts->texts.at(slot[i]);
            if (t.done) {
                shown[i] = t.shown;
            } else {
                qDebug().nospace()
                    << "text shown as plain text: not laid out within " << budgetMs
                    << " ms of its thread's time (" << clock.elapsed() << " ms waited)";
            }
        }
    }
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).label) {
            showIn(entries.at(i).label, shown.at(i));
        } else {
            showIn(entries.at(i).browser, shown.at(i));
        }
    }
}

void safetext::setLabelText(QLabel* label, const QString& text)
{
    TextBatch batch;
    batch.add(label, text);
    batch.show();
}

void safetext::setBrowserText(SafeTextBrowser* browser, const QString& text)
{
    TextBatch batch;
    batch.add(browser, text);
    batch.show();
}

QString safetext::plainText(const QString& whole)
{
    const QString text = whole.left(limits::maxTextLength);
    return Qt::mightBeRichText(text) ? htmlfilter::filter(text).plain : text;
}

int safetext::lateLayouts()
{
    return runningLayouts.load();
}

QString safetext::notificationMarkup(const QString& whole, bool links)
{
    const QString text = whole.left(limits::maxTextLength);
    if (!Qt::mightBeRichText(text)) {
        return text.toHtmlEscaped();
    }
    // Through the same filter as a popup's text: only what it lets through
    // is read into a document here, on the calling thread.
    const htmlfilter::Filtered filtered = htmlfilter::filter(text);
    if (!filtered.rich) {
        qDebug().noquote() << "text shown as plain text:" << filtered.why;
        return filtered.plain.toHtmlEscaped();
    }
    SafeTextDocument document;
    document.setHtml(filtered.html);
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
