#pragma once

#include <QObject>

class LoginItem;
class SettingsAccess;
class SettingsActionScheduler;

// The General page: start at login and connect on start.
class GeneralSettingsViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool startAtLogin READ startAtLogin WRITE setStartAtLogin NOTIFY startAtLoginChanged)
    Q_PROPERTY(bool connectOnStart READ connectOnStart WRITE setConnectOnStart NOTIFY connectOnStartChanged)

public:
    // Reads the login item and the settings as they are now; both must outlive the model.
    GeneralSettingsViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, LoginItem &loginItem, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(GeneralSettingsViewModel)

    bool startAtLogin() const { return m_startAtLogin; }
    // A failed (un)registration is logged; the toggle keeps the wished state.
    void setStartAtLogin(bool startAtLogin);
    bool connectOnStart() const { return m_connectOnStart; }
    void setConnectOnStart(bool connectOnStart);

Q_SIGNALS:
    void startAtLoginChanged();
    void connectOnStartChanged();

private:
    void applyStartAtLogin();

    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    LoginItem &m_loginItem;
    bool m_startAtLogin = false;
    bool m_connectOnStart = false;
};
