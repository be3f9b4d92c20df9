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

    QStringList arguments { QStringLiteral("--port"), QString::number(port) };
    for (const QHostAddress &address : serverAddresses)
        arguments << QStringLiteral("--server") << address.toString();
    if (launcher.isEmpty())
        return { helper, arguments, helper };
    return { launcher, QStringList { helper } + arguments, helper };
}
