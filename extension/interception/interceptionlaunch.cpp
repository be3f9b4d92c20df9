#include "interception/interceptionlaunch.h"

#include <QCoreApplication>

#include <unistd.h>

EngineLaunch interceptionLaunch(quint16 port, const QList<QHostAddress> &serverAddresses)
{
    QString helper = qEnvironmentVariable("WRENLOW_INTERCEPT_HELPER");
    if (helper.isEmpty())
        helper = QCoreApplication::applicationDirPath() + QStringLiteral("/wrenlow-intercept");
    QString launcher = qEnvironmentVariable("WRENLOW_INTERCEPT_LAUNCHER");
    if (launcher.isEmpty() && ::geteuid() != 0)
        launcher = QStringLiteral("pkexec");

    const QStringList arguments { QStringLiteral("--port"), QString::number(port) };
    if (launcher.isEmpty())
        return { helper, arguments, helper, serverAddresses };
    return { launcher, QStringList { helper } + arguments, helper, serverAddresses };
}
