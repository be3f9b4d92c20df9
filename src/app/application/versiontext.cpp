#include "app/application/versiontext.h"

#include <QCoreApplication>

QString appVersionText(const QString &version, const QString &build)
{
    QString text = version;
    if (!build.isNull())
        text += QStringLiteral(" (Build: %1)").arg(build);
    if (text.isEmpty())
        return QStringLiteral("Unknown");
    return text + QStringLiteral(" - Standalone");
}

QString appVersionText()
{
#ifdef WRENLOW_BUILD
    const QString build = QStringLiteral(WRENLOW_BUILD);
#else
    const QString build;
#endif
    return appVersionText(QCoreApplication::applicationVersion(), build.isEmpty() ? QString() : build);
}
