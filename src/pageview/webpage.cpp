#include "webpage.h"

#include <QAuthenticator>
#include <QDebug>
#include <QWebEngineCertificateError>
#include <QWebEngineClientCertificateSelection>
#include <QWebEngineDownloadItem>
#include <QWebEngineFullScreenRequest>
#include <QWebEngineProfile>
#include <QWebEngineQuotaRequest>
#include <QWebEngineRegisterProtocolHandlerRequest>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>

#include <atomic>
#include <functional>

namespace {

/// How long after a click or key press of the user a link counts as theirs.
const int gestureMs = 1000;

/// Requests of a page go to the web only: no local files, no custom schemes.
class WebOnly : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo& info) override
    {
        const QString scheme = info.requestUrl().scheme().toLower();
        for (const char* allowed : {"http", "https", "data", "blob", "ws", "wss"}) {
            if (scheme == QLatin1String(allowed)) {
                return;
            }
        }
        info.block(true);
        if (logged++ < 3) {
            qDebug().noquote() << "page request refused, scheme" << scheme
                               << "is not http or https";
        }
    }

private:
    std::atomic<int> logged{0}; // called on the engine's IO thread
};

/// The page a window would show, made only to learn where it goes: its first
/// address goes to caught and the window never opens.
class AddressCatcher : public QWebEnginePage
{
public:
    AddressCatcher(QWebEngineProfile* profile, QObject* parent,
                   std::function<void(const QUrl&)> caught)
        : QWebEnginePage(profile, parent), caught(std::move(caught))
    {
    }

protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool) override
    {
        if (caught) {
            caught(url);
            caught = nullptr;
            deleteLater();
        }
        return false;
    }

private:
    std::function<void(const QUrl&)> caught;
};

} // namespace

WebPage::WebPage(QObject* parent) : QWebEnginePage(new QWebEngineProfile(parent), parent)
{
    QWebEngineProfile* own = profile(); // off the record: nothing on disk
    own->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    own->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    own->setSpellCheckEnabled(false);
    own->setUrlRequestInterceptor(new WebOnly(own));
    connect(own, &QWebEngineProfile::downloadRequested, this, [this](QWebEngineDownloadItem* item) {
        refuse("download refused:", item->url().toString().left(200));
        item->cancel();
    });

    QWebEngineSettings* s = settings();
    for (const auto attribute :
         {QWebEngineSettings::JavascriptCanAccessClipboard, QWebEngineSettings::JavascriptCanPaste,
          QWebEngineSettings::LocalContentCanAccessRemoteUrls,
          QWebEngineSettings::LocalContentCanAccessFileUrls, QWebEngineSettings::PluginsEnabled,
          QWebEngineSettings::PdfViewerEnabled, QWebEngineSettings::FullScreenSupportEnabled,
          QWebEngineSettings::HyperlinkAuditingEnabled, QWebEngineSettings::DnsPrefetchEnabled,
          QWebEngineSettings::ScreenCaptureEnabled, QWebEngineSettings::WebGLEnabled,
          QWebEngineSettings::Accelerated2dCanvasEnabled, QWebEngineSettings::AutoLoadIconsForPage,
          QWebEngineSettings::AllowGeolocationOnInsecureOrigins,
          QWebEngineSettings::AllowWindowActivationFromJavaScript}) {
        s->setAttribute(attribute, false);
    }
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, true);
    // Every window a script asks for reaches createWindow, which refuses it.
    s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, true);
    s->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, true);
    s->setAttribute(QWebEngineSettings::WebRTCPublicInterfacesOnly, true);

    connect(this, &QWebEnginePage::linkHovered, this,
            [this](const QString& url) { hovered = url; });
    connect(this, &QWebEnginePage::featurePermissionRequested, this,
            [this](const QUrl& origin, Feature feature) {
                refuse("permission request refused:", QString::number(int(feature)));
                setFeaturePermission(origin, feature, PermissionDeniedByUser);
            });
    connect(this, &QWebEnginePage::fullScreenRequested, this,
            [this](QWebEngineFullScreenRequest request) {
                refuse("full screen refused");
                request.reject();
            });
    connect(this, &QWebEnginePage::registerProtocolHandlerRequested, this,
            [this](QWebEngineRegisterProtocolHandlerRequest request) {
                refuse("protocol handler refused");
                request.reject();
            });
    connect(this, &QWebEnginePage::quotaRequested, this, [this](QWebEngineQuotaRequest request) {
        refuse("storage quota refused");
        request.reject();
    });
    // Left as they are, the authenticators cancel the request.
    connect(this, &QWebEnginePage::authenticationRequired, this,
            [this](const QUrl& url) { refuse("password request refused:", url.host()); });
    connect(this, &QWebEnginePage::proxyAuthenticationRequired, this,
            [this] { refuse("proxy password request refused"); });
    connect(this, &QWebEnginePage::selectClientCertificate, this,
            [this](QWebEngineClientCertificateSelection selection) {
                refuse("client certificate refused");
                selection.selectNone();
            });
}

void WebPage::warmUp()
{
    warming = true;
    load(QUrl(QStringLiteral("about:blank")));
}

void WebPage::userGesture(bool pointer)
{
    gesture.start();
    pointerGesture = pointer;
}

bool WebPage::takeGesture(const QUrl& url, bool window)
{
    if (!gesture.isValid() || gesture.elapsed() >= gestureMs) {
        return false;
    }
    // The page reports what is under the pointer before what a click there does.
    const bool mine = !pointerGesture || (hovered.isEmpty() ? window : QUrl(hovered) == url);
    if (mine) {
        gesture.invalidate(); // one link per click or key press
    }
    return mine;
}

void WebPage::windowAddress(const QUrl& url)
{
    if (takeGesture(url, true)) {
        emit linkClicked(url);
    } else {
        refuse("page window refused: not the link or button the user clicked");
    }
}

void WebPage::refuse(const char* kind, const QString& detail)
{
    const int n = ++refusals[kind];
    if (n <= 3) {
        qDebug().noquote() << kind << detail
                           << (n == 3 ? "(later ones of this page are not logged)" : "");
    }
}

bool WebPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame)
{
    if (type == NavigationTypeLinkClicked) {
        if (takeGesture(url, false)) {
            emit linkClicked(url);
        } else {
            refuse("page link not followed: no click or key press of the user");
        }
        return false;
    }
    if (warming && isMainFrame && url == QUrl(QStringLiteral("about:blank"))) {
        warming = false;
        return true;
    }
    const QString scheme = url.scheme().toLower();
    const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    const bool inner = scheme == QLatin1String("data") || scheme == QLatin1String("about") ||
                       scheme == QLatin1String("blob");
    if (web || (!isMainFrame && inner)) {
        return true;
    }
    refuse("page navigation refused, not an http or https URL:", url.toString().left(200));
    return false;
}

QWebEnginePage* WebPage::createWindow(WebWindowType type)
{
    Q_UNUSED(type)
    if (!gesture.isValid() || gesture.elapsed() >= gestureMs) {
        refuse("page window refused: no click or key press of the user");
        return nullptr;
    }
    refuse("page window not opened: its address goes out as a link");
    return new AddressCatcher(profile(), this, [this](const QUrl& url) { windowAddress(url); });
}

void WebPage::javaScriptAlert(const QUrl& origin, const QString& text)
{
    Q_UNUSED(origin)
    refuse("script dialog refused: alert", text.left(100));
}

bool WebPage::javaScriptConfirm(const QUrl& origin, const QString& text)
{
    Q_UNUSED(origin)
    refuse("script dialog refused: confirm", text.left(100));
    return false;
}

bool WebPage::javaScriptPrompt(const QUrl& origin, const QString& text, const QString& value,
                               QString* result)
{
    Q_UNUSED(origin)
    Q_UNUSED(value)
    Q_UNUSED(result)
    refuse("script dialog refused: prompt", text.left(100));
    return false;
}

QStringList WebPage::chooseFiles(FileSelectionMode mode, const QStringList& old,
                                 const QStringList& types)
{
    Q_UNUSED(mode)
    Q_UNUSED(old)
    Q_UNUSED(types)
    refuse("file chooser refused");
    return {};
}

bool WebPage::certificateError(const QWebEngineCertificateError& error)
{
    refuse("certificate error, page refused:", error.errorDescription().left(200));
    return false;
}

void WebPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                       const QString&)
{
    // A page's console is not the agent's log.
}
