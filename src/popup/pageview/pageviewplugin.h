// The page-view module: makes the web views of page-form popups.
#pragma once

#include "popup/pageviewfactory.h"

#include <QObject>

class PageViewPlugin : public QObject, public PageViewFactory
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID PageViewFactory_iid)
    Q_INTERFACES(PageViewFactory)

public:
    QWidget* createView(QWidget* parent, QObject* receiver, const char* member) override;
    void load(QWidget* view, const QUrl& url) override;
};
