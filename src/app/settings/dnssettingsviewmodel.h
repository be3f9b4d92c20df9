#pragma once

#include <QObject>

class SettingsAccess;
class SettingsActionScheduler;

// The DNS page: whether the local DNS is used first.
class DNSSettingsViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool useLocalDNS READ useLocalDNS WRITE setUseLocalDNS NOTIFY useLocalDNSChanged)

public:
    explicit DNSSettingsViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(DNSSettingsViewModel)

    bool useLocalDNS() const { return m_useLocalDNS; }
    void setUseLocalDNS(bool useLocalDNS);

Q_SIGNALS:
    void useLocalDNSChanged();

private:
    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    bool m_useLocalDNS = true;
};
