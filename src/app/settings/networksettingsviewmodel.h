#pragma once

#include <QObject>
#include <QString>

#include <optional>

class SettingsAccess;
class SettingsActionScheduler;

// The Network page: which proxy front-ends the tunnel runs, and the HTTP proxy's port.
class NetworkSettingsViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool transparentProxy READ transparentProxy WRITE setTransparentProxy NOTIFY transparentProxyChanged)
    Q_PROPERTY(bool httpProxy READ httpProxy WRITE setHttpProxy NOTIFY httpProxyChanged)
    Q_PROPERTY(bool systemProxy READ systemProxy WRITE setSystemProxy NOTIFY systemProxyChanged)
    Q_PROPERTY(QString httpProxyPort READ httpProxyPort WRITE setHttpProxyPort NOTIFY httpProxyPortChanged)
    Q_PROPERTY(bool noProxyWarning READ noProxyWarning NOTIFY noProxyWarningChanged)
    Q_PROPERTY(QString address READ address NOTIFY httpProxyPortChanged)

public:
    explicit NetworkSettingsViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(NetworkSettingsViewModel)

    bool transparentProxy() const { return m_transparentProxy; }
    void setTransparentProxy(bool transparentProxy);
    bool httpProxy() const { return m_httpProxy; }
    void setHttpProxy(bool httpProxy);
    bool systemProxy() const { return m_systemProxy; }
    void setSystemProxy(bool systemProxy);
    // The port as typed; only a valid one reaches the settings.
    QString httpProxyPort() const { return m_httpProxyPort; }
    void setHttpProxyPort(const QString &httpProxyPort);

    // Neither front-end is on, so no traffic goes through the proxy.
    bool noProxyWarning() const { return !m_transparentProxy && !m_httpProxy; }
    // What applications are configured with: the loopback address and the port as typed.
    QString address() const;

    // A signed decimal integer from 1 to 65535, or nothing.
    static std::optional<qint64> parsePort(const QString &text);

Q_SIGNALS:
    void transparentProxyChanged();
    void httpProxyChanged();
    void systemProxyChanged();
    void httpProxyPortChanged();
    void noProxyWarningChanged();

private:
    void applyPort();

    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    bool m_transparentProxy = true;
    bool m_httpProxy = false;
    bool m_systemProxy = true;
    QString m_httpProxyPort;
};
