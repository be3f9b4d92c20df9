#include "ui/settings/settingspages.h"

#include "app/settings/dnssettingsviewmodel.h"
#include "app/settings/generalsettingsviewmodel.h"
#include "app/settings/networksettingsviewmodel.h"
#include "ui/common/toggleswitch.h"
#include "ui/forms/formparts.h"
#include "ui/settings/settingsrows.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

GeneralSettingsPage::GeneralSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler,
    LoginItem &loginItem, const QString &versionText, QWidget *parent)
    : QWidget(parent)
    , m_model(new GeneralSettingsViewModel(settings, scheduler, loginItem, this))
{
    QVBoxLayout *page = settingsPageLayout(this);
    QVBoxLayout *rows = settingsSection(page, QString(), this);
    ToggleSwitch *startAtLogin = settingsToggle(m_model->startAtLogin(), this);
    startAtLogin->setObjectName(QStringLiteral("start-at-login"));
    rows->addWidget(settingsRow(tr("Start at login"), QString(), startAtLogin, this));
    connect(startAtLogin, &QAbstractButton::toggled, m_model, &GeneralSettingsViewModel::setStartAtLogin);
    ToggleSwitch *connectOnStart = settingsToggle(m_model->connectOnStart(), this);
    rows->addWidget(settingsRow(tr("Connect on start"),
        tr("When enabled, application will connect automatically to the last selected server after start"),
        connectOnStart, this));
    connect(connectOnStart, &QAbstractButton::toggled, m_model, &GeneralSettingsViewModel::setConnectOnStart);
    page->addStretch(1);
    auto *version = new QLabel(tr("Version: ") + versionText, this);
    makeSecondary(version);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    page->addWidget(version);
}

NetworkSettingsPage::NetworkSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler,
    const QString &transparentRequirement, QWidget *parent)
    : QWidget(parent)
    , m_model(new NetworkSettingsViewModel(settings, scheduler, this))
{
    QVBoxLayout *page = settingsPageLayout(this);

    auto *warning = new QLabel(
        tr("<b>Warning:</b> both transparent and http proxy are disabled. No traffic will go through proxy server."),
        this);
    warning->setWordWrap(true);
    warning->setAccessibleName(tr("No proxy warning"));
    QPalette red = warning->palette();
    red.setColor(QPalette::WindowText, QColor(0xd7, 0x26, 0x1e));
    warning->setPalette(red);
    page->addWidget(warning);
    QVBoxLayout *transparentRows = settingsSection(page, QString(), this);
    ToggleSwitch *transparent = settingsToggle(m_model->transparentProxy(), this);
    transparentRows->addWidget(settingsRow(tr("Transparent Proxy"),
        tr("Intercept outbound TCP and UDP traffic and send it through the proxy"), transparent, this));
    connect(transparent, &QAbstractButton::toggled, m_model, &NetworkSettingsViewModel::setTransparentProxy);
    if (!transparentRequirement.isEmpty()) {
        QLabel *requirement = secondaryLine(transparentRequirement, this);
        requirement->setAccessibleName(tr("Transparent proxy requirement"));
        transparentRows->addWidget(requirement);
    }

    QVBoxLayout *httpRows = settingsSection(page, tr("HTTP Proxy"), this);
    ToggleSwitch *http = settingsToggle(m_model->httpProxy(), this);
    httpRows->addWidget(settingsRow(
        tr("HTTP Proxy Server"), tr("Run a local HTTP proxy that applications can be configured to use"), http, this));
    connect(http, &QAbstractButton::toggled, m_model, &NetworkSettingsViewModel::setHttpProxy);

    // Shown only while the HTTP proxy is on.
    auto *httpDetails = new QWidget(this);
    auto *details = new QVBoxLayout(httpDetails);
    details->setContentsMargins(0, 0, 0, 0);
    ToggleSwitch *system = settingsToggle(m_model->systemProxy(), httpDetails);
    details->addWidget(settingsRow(
        tr("Set system-wide proxy"), tr("Notify system and applications to use HTTP Proxy"), system, httpDetails));
    connect(system, &QAbstractButton::toggled, m_model, &NetworkSettingsViewModel::setSystemProxy);
    auto *port = new QLineEdit(m_model->httpProxyPort(), httpDetails);
    port->setMaximumWidth(120);
    details->addWidget(settingsRow(tr("Port"), QString(), port, httpDetails));
    connect(port, &QLineEdit::textEdited, m_model, &NetworkSettingsViewModel::setHttpProxyPort);
    auto *address = new QLabel(m_model->address(), httpDetails);
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    details->addWidget(settingsRow(
        tr("Address"), tr("Use this address to configure specific applications manually."), address, httpDetails));
    connect(m_model, &NetworkSettingsViewModel::httpProxyPortChanged, address,
        [this, address] { address->setText(m_model->address()); });
    httpRows->addWidget(httpDetails);
    page->addStretch(1);

    const auto follow = [this, warning, httpDetails] {
        warning->setVisible(m_model->noProxyWarning());
        httpDetails->setVisible(m_model->httpProxy());
    };
    follow();
    connect(m_model, &NetworkSettingsViewModel::noProxyWarningChanged, this, follow);
    connect(m_model, &NetworkSettingsViewModel::httpProxyChanged, this, follow);
}

DNSSettingsPage::DNSSettingsPage(SettingsAccess &settings, SettingsActionScheduler &scheduler, QWidget *parent)
    : QWidget(parent)
    , m_model(new DNSSettingsViewModel(settings, scheduler, this))
{
    QVBoxLayout *page = settingsPageLayout(this);
    QVBoxLayout *rows = settingsSection(page, QString(), this);
    ToggleSwitch *local = settingsToggle(m_model->useLocalDNS(), this);
    rows->addWidget(settingsRow(tr("Use local DNS"),
        tr("The following DNS servers will be additionally used: 8.8.8.8 and 1.1.1.1"), local, this));
    connect(local, &QAbstractButton::toggled, m_model, &DNSSettingsViewModel::setUseLocalDNS);
    page->addStretch(1);
}
