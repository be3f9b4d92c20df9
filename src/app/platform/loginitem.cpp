#include "app/platform/loginitem.h"

#include "core/foundation/appid.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>

LoginItem::LoginItem(QString autostartDirectory, QString executablePath)
    : m_directory(std::move(autostartDirectory))
    , m_executable(std::move(executablePath))
{
}

LoginItem LoginItem::forCurrentUser()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // A relative value is invalid for the base-directory rules, so it is ignored.
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return LoginItem(config + QStringLiteral("/autostart"), QCoreApplication::applicationFilePath());
}

QString LoginItem::entryPath() const
{
    return m_directory + u'/' + appId() + QStringLiteral(".desktop");
}

LoginItemStatus LoginItem::status() const
{
    if (m_executable.isEmpty())
        return LoginItemStatus::notFound;
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return LoginItemStatus::notRegistered;
    QTextStream stream(&file);
    bool inMainGroup = false;
    while (!stream.atEnd()) {
        const QString line = stream.readLine().trimmed();
        if (line.startsWith(u'[')) {
            inMainGroup = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        if (line.left(equals).trimmed() == QStringLiteral("Hidden")
            && line.mid(equals + 1).trimmed() == QStringLiteral("true"))
            return LoginItemStatus::notRegistered;
    }
    return LoginItemStatus::enabled;
}

void LoginItem::registerItem()
{
    if (m_executable.isEmpty())
        throw LoginItemError(QStringLiteral("The application's executable is unknown"));
    if (!QDir().mkpath(m_directory))
        throw LoginItemError(QStringLiteral("Cannot create ") + m_directory);
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly))
        throw LoginItemError(file.errorString());
    file.write(desktopEntry().toUtf8());
    if (!file.commit())
        throw LoginItemError(file.errorString());
}

void LoginItem::unregisterItem()
{
    QFile file(entryPath());
    if (file.exists() && !file.remove())
        throw LoginItemError(file.errorString());
}

QString LoginItem::desktopEntry() const
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Wrenlow\n"
                          "Comment=Start Wrenlow at login\n"
                          "Icon=")
        + appId()
        + QStringLiteral("\n"
                         "Exec=")
        + execArgument(m_executable)
        + QStringLiteral("\n"
                         "Terminal=false\n"
                         "X-GNOME-Autostart-enabled=true\n");
}

QString LoginItem::execArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (const QChar c : argument)
        needsQuotes = needsQuotes || reserved.contains(c);
    QString quoted;
    if (needsQuotes) {
        quoted += u'"';
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                quoted += u'\\';
            quoted += c;
        }
        quoted += u'"';
    } else {
        quoted = argument;
    }
    // A lone percent sign would start a field code.
    quoted.replace(u'%', QStringLiteral("%%"));
    // Exec is a string value, whose own escapes apply on top of the quoting.
    QString escaped;
    for (const QChar c : quoted) {
        if (c == u'\\')
            escaped += QStringLiteral("\\\\");
        else if (c == u'\n')
            escaped += QStringLiteral("\\n");
        else if (c == u'\t')
            escaped += QStringLiteral("\\t");
        else if (c == u'\r')
            escaped += QStringLiteral("\\r");
        else
            escaped += c;
    }
    return escaped;
}
