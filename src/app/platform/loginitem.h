#pragma once

#include "core/foundation/error.h"

#include <QString>

// Where the login item stands, numbered as the platform's login-item service numbers it.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

class LoginItemError final : public Error {
public:
    explicit LoginItemError(QString message)
        : m_message(std::move(message))
    {
    }
    QString description() const override { return m_message; }

private:
    QString m_message;
};

// Starts the program when the user logs in, through an XDG autostart entry of our own,
// "<autostart directory>/<app id>.desktop", that runs the executable by its absolute path.
class LoginItem final {
public:
    LoginItem(QString autostartDirectory, QString executablePath);

    // The entry of the user who runs the program: $XDG_CONFIG_HOME/autostart, or
    // ~/.config/autostart, starting the running executable.
    static LoginItem forCurrentUser();

    QString entryPath() const;
    // Enabled while our entry exists and is not hidden; an entry the user hid counts as absent.
    LoginItemStatus status() const;
    // Both throw LoginItemError; either leaves the previous entry when it fails.
    void registerItem();
    void unregisterItem();

    // The text of the entry we write.
    QString desktopEntry() const;
    // One argument of an Exec line, quoted as desktop entries require and escaped as their
    // string values require.
    static QString execArgument(const QString &argument);

private:
    QString m_directory;
    QString m_executable;
};
