#pragma once

#include <QWidget>

class DNSSettingsViewModel;
class GeneralSettingsViewModel;
class LoginItem;
class NetworkSettingsViewModel;
class SettingsAccess;
class SettingsActionScheduler;
class ToggleSwitch;

// The editor pages of the settings window. Each reads the settings when it is made and writes
// every change at once; there is no Save button.

class GeneralSettingsPage final : public QWidget {
    Q_OBJECT

public:
    GeneralSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler, LoginItem &loginItem,
        const QString &versionText, QWidget *parent = nullptr);

private:
    GeneralSettingsViewModel *m_model;
};

class NetworkSettingsPage final : public QWidget {
    Q_OBJECT

public:
    // `transparentRequirement`: what the transparent proxy still needs here, shown beside its
    // switch; empty when nothing.
    NetworkSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler,
        const QString &transparentRequirement, QWidget *parent = nullptr);

private:
    NetworkSettingsViewModel *m_model;
};

class DNSSettingsPage final : public QWidget {
    Q_OBJECT

public:
    DNSSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler, QWidget *parent = nullptr);

private:
    DNSSettingsViewModel *m_model;
};
