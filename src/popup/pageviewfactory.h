// The web view of page-form popups lives in a module loaded on first use, so
// that the agent does not pay for the web engine until a page is shown.
#pragma once

#include <QString>
#include <QStringList>
#include <QtPlugin>

class QObject;
class QUrl;
class QWidget;

/// Implemented by the page-view module (src/popup/pageview).
class PageViewFactory
{
public:
    virtual ~PageViewFactory() = default;

    /// A new web view, child of parent, without a context menu, with scripts
    /// but no script-opened windows and no plugins. It loads http, https and
    /// data: URLs only; local content reads neither files nor remote URLs. A
    /// click of the user on a link to anything but a local document is not
    /// followed: it goes to receiver's slot member, which takes one QUrl (a
    /// SLOT() text); a link that a script clicks goes nowhere.
    virtual QWidget* createView(QWidget* parent, QObject* receiver, const char* member) = 0;
    /// Starts loading url in a view made by createView.
    virtual void load(QWidget* view, const QUrl& url) = 0;
};

#define PageViewFactory_iid "org.zav.msgagent.PageViewFactory/1.0"
Q_DECLARE_INTERFACE(PageViewFactory, PageViewFactory_iid)

namespace pageview {

/// File name of the module, without directory.
QString moduleFileName();
/// Directories searched for the module, in order: the program's own
/// directory, then the module directory of the install, found from the
/// program's own directory (../lib/zav-msg-agent/plugins or the like,
/// whatever the prefix), then any added ones.
QStringList searchPaths();
/// Adds a directory to search (tests point it at the build tree).
void addSearchPath(const QString& dir);
/// Loads the module on the first call and returns its factory; later calls
/// return the same factory, or null again without retrying a failed load.
/// On failure, why (if given) receives the reason.
PageViewFactory* factory(QString* why = nullptr);

} // namespace pageview
