// The page of a page popup and what it may do. It asks nothing of the user:
// no script dialogs, no windows, no downloads, no permissions, no file
// chooser, no certificate exceptions, each refused with a debug line. It
// reads nothing local. A link is followed only as the answer to a click or
// key press of the user, and then not in the page: its address goes to the
// agent, which decides what opens. A click follows only the link the
// pointer was over (or, off links, a window the click's script opens); a key
// press follows any one link within a second.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QWebEnginePage>

class WebPage : public QWebEnginePage
{
    Q_OBJECT

public:
    /// A page in a profile of its own that keeps nothing on disk.
    explicit WebPage(QObject* parent);

    /// Loads an empty document, which starts the renderer process that the
    /// first page then takes: before the page view has a page to show.
    void warmUp();

    /// A click (pointer) or key press of the user in the page: the next link
    /// it may follow within a second is the user's.
    void userGesture(bool pointer);

signals:
    /// The user followed a link to url.
    void linkClicked(const QUrl& url);

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
    QWebEnginePage* createWindow(WebWindowType type) override;
    void javaScriptAlert(const QUrl& origin, const QString& text) override;
    bool javaScriptConfirm(const QUrl& origin, const QString& text) override;
    bool javaScriptPrompt(const QUrl& origin, const QString& text, const QString& value,
                          QString* result) override;
    QStringList chooseFiles(FileSelectionMode mode, const QStringList& old,
                            const QStringList& types) override;
    bool certificateError(const QWebEngineCertificateError& error) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString& message,
                                  int line, const QString& source) override;

private:
    /// Whether the user's last gesture may follow url (window: a window's
    /// first address); takes the gesture if so.
    bool takeGesture(const QUrl& url, bool window);
    /// The address of a window the user's gesture may open.
    void windowAddress(const QUrl& url);
    /// A debug line for something refused: the first three of each kind.
    void refuse(const char* kind, const QString& detail = QString());

    QElapsedTimer gesture; ///< since the user's last click or key press, if any is left
    bool pointerGesture = false;
    bool warming = false; ///< the empty document of warmUp may load
    QString hovered;      ///< the link under the pointer now
    QHash<const char*, int> refusals;
};
