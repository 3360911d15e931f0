#include "pageviewplugin.h"

#include <QDebug>
#include <QEvent>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

namespace {

/// The network of one page: web addresses and data: URLs only. A page must
/// not read local files (file:, qrc:) or reach other kinds of services.
class WebOnlyNetworkAccess : public QNetworkAccessManager
{
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override
    {
        const QString scheme = request.url().scheme().toLower();
        if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
            scheme == QLatin1String("data")) {
            return QNetworkAccessManager::createRequest(op, request, outgoingData);
        }
        qDebug().noquote() << "page request refused, scheme" << scheme << "is not http or https";
        // A request for nothing: it fails at once, as an unknown protocol.
        return QNetworkAccessManager::createRequest(op, QNetworkRequest(), outgoingData);
    }
};

/// Passes a page's delegated link on only while the view handles a click or
/// a key press of the user, and at most once per such event: a page's
/// script that clicks links by itself opens nothing.
class GestureGate : public QObject
{
    Q_OBJECT

public:
    GestureGate(QWebView* view, QObject* receiver, const char* member) : QObject(view)
    {
        connect(view->page(), SIGNAL(linkClicked(QUrl)), this, SLOT(onLinkClicked(QUrl)));
        connect(this, SIGNAL(linkAllowed(QUrl)), receiver, member);
        view->installEventFilter(this);
    }

signals:
    void linkAllowed(const QUrl& url);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        const QEvent::Type type = event->type();
        if (armed || (type != QEvent::MouseButtonRelease && type != QEvent::KeyPress)) {
            return false;
        }
        // Handled here, so that the gate is open exactly while it lasts.
        armed = true;
        watched->event(event);
        armed = false;
        return true;
    }

private slots:
    void onLinkClicked(const QUrl& url)
    {
        if (!armed) {
            if (!refusedOnce) { // a script may try hundreds of times a second
                refusedOnce = true;
                qDebug() << "page link not followed: no click or key press of the user"
                            " (later ones of this view are not logged)";
            }
            return;
        }
        armed = false;
        emit linkAllowed(url);
    }

private:
    bool armed = false;
    bool refusedOnce = false;
};

} // namespace

QWidget* PageViewPlugin::createView(QWidget* parent, QObject* receiver, const char* member)
{
    auto* view = new QWebView(parent);
    QWebPage* page = view->page();
    page->setNetworkAccessManager(new WebOnlyNetworkAccess(page));
    new GestureGate(view, receiver, member);
    page->setLinkDelegationPolicy(QWebPage::DelegateExternalLinks);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    QWebSettings* settings = page->settings();
    settings->setAttribute(QWebSettings::JavascriptEnabled, true);
    settings->setAttribute(QWebSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebSettings::PluginsEnabled, false);
    settings->setAttribute(QWebSettings::LocalContentCanAccessFileUrls, false);
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, false);
    return view;
}

void PageViewPlugin::load(QWidget* view, const QUrl& url)
{
    if (auto* webView = qobject_cast<QWebView*>(view)) {
        webView->load(url);
    }
}

#include "pageviewplugin.moc"
