#include "pageviewfactory.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

#ifndef ZAV_PAGEVIEW_RELATIVE_DIR
#define ZAV_PAGEVIEW_RELATIVE_DIR ""
#endif

namespace {

QStringList extraPaths;
bool attempted = false;
PageViewFactory* loaded = nullptr;
QString failure;

PageViewFactory* tryLoad(QString* why)
{
    const QString name = pageview::moduleFileName();
    QStringList reasons;
    for (const QString& dir : pageview::searchPaths()) {
        const QString path = QDir(dir).filePath(name);
        if (!QFileInfo::exists(path)) {
            continue;
        }
        // The loader stays loaded for the life of the process: the module is
        // never unloaded while views it made may still exist.
        auto* loader = new QPluginLoader(path, QCoreApplication::instance());
        QObject* instance = loader->instance();
        auto* result = qobject_cast<PageViewFactory*>(instance);
        if (result) {
            qDebug() << "page view module loaded:" << path;
            return result;
        }
        reasons << path + QStringLiteral(": ") +
                       (instance ? QStringLiteral("not a page view module")
                                 : loader->errorString());
        delete loader;
    }
    if (reasons.isEmpty()) {
        *why = name + QStringLiteral(" not found in ") +
               pageview::searchPaths().join(QStringLiteral(", "));
    } else {
        *why = reasons.join(QStringLiteral("; "));
    }
    return nullptr;
}

} // namespace

QString pageview::moduleFileName()
{
    return QStringLiteral("libzavpageview.so");
}

QStringList pageview::searchPaths()
{
    QStringList dirs;
    if (QCoreApplication::instance()) {
        const QString own = QCoreApplication::applicationDirPath();
        dirs << own;
        const QString installed = QStringLiteral(ZAV_PAGEVIEW_RELATIVE_DIR);
        if (!installed.isEmpty()) {
            dirs << QDir::cleanPath(own + QLatin1Char('/') + installed);
        }
    }
    dirs << extraPaths;
    return dirs;
}

void pageview::addSearchPath(const QString& dir)
{
    extraPaths << dir;
}

PageViewFactory* pageview::factory(QString* why)
{
    if (!attempted) {
        attempted = true;
        loaded = tryLoad(&failure);
    }
    if (!loaded && why) {
        *why = failure;
    }
    return loaded;
}
