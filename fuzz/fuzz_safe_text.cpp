// Fuzzes how popups show a message's texts (summary, title, sender), which
// may be HTML: safetext::setBrowserText, safetext::setLabelText and
// safetext::plainText, bytes decoded as UTF-8.
//
// Invariants: never crashes, frees everything; every image left in the text
// browser's document is a data: or qrc: one; the HTML a label gets, read by
// an ordinary document (which would open whatever it is asked for), asks for
// data: and qrc: resources only, so a label never opens a file.
#include "fuzzcommon.h"
#include "text/safetext.h"

#include <QLabel>
#include <QTextBlock>
#include <QTextDocument>

namespace {

bool ownOrData(const QString& name)
{
    const QString scheme = QUrl(name).scheme().toLower();
    return name.startsWith(QLatin1String(":/")) || scheme == QLatin1String("data") ||
           scheme == QLatin1String("qrc");
}

/// Asks the document for every image it shows, as Qt's image handler does.
void loadImages(QTextDocument& document, void (*check)(const QString&))
{
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isImageFormat()) {
                const QString name = format.toImageFormat().name();
                check(name);
                document.resource(QTextDocument::ImageResource,
                                  QUrl(name.startsWith(QLatin1String(":/")) ? "qrc" + name : name));
            }
        }
    }
}

/// An ordinary document, as a label has: it records what it is asked to
/// load instead of loading it.
class Recorder : public QTextDocument
{
protected:
    QVariant loadResource(int, const QUrl& name) override
    {
        fuzz::check(ownOrData(name.toString()), "a label's text refers to a resource");
        return {};
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));

    SafeTextBrowser browser;
    safetext::setBrowserText(&browser, text);
    loadImages(*browser.document(), [](const QString& name) {
        fuzz::check(ownOrData(name), "the text browser kept a refused image");
    });

    QLabel label;
    safetext::setLabelText(&label, text);
    if (label.textFormat() == Qt::RichText) {
        Recorder recorder;
        recorder.setHtml(label.text());
        loadImages(recorder, [](const QString&) {});
    }

    safetext::plainText(text);
    return 0;
}
