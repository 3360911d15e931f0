#include "pageviewplugin.h"

#include <QDebug>
#include <QUrl>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

QWidget* PageViewPlugin::createView(QWidget* parent, QObject* receiver, const char* member)
{
    auto* view = new QWebView(parent);
    QWebPage* page = view->page();
    QObject::connect(page, SIGNAL(linkClicked(QUrl)), receiver, member);
    page->setLinkDelegationPolicy(QWebPage::DelegateExternalLinks);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    page->settings()->setAttribute(QWebSettings::JavascriptEnabled, true);
    page->settings()->setAttribute(QWebSettings::JavascriptCanOpenWindows, true);
    return view;
}

void PageViewPlugin::load(QWidget* view, const QUrl& url)
{
    if (auto* webView = qobject_cast<QWebView*>(view)) {
        webView->load(url);
    }
}
