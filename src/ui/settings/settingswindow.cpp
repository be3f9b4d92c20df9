#include "ui/settings/settingswindow.h"

#include "ui/common/screenstack.h"
#include "ui/forms/formparts.h"
#include "ui/settings/routingpages.h"
#include "ui/settings/settingspages.h"
#include "ui/settings/subscriptionspage.h"
#include "ui/settings/troubleshootingpage.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

// The pages in sidebar order.
constexpr const char *sections[] = {
    QT_TRANSLATE_NOOP("SettingsWindow", "General"),
    QT_TRANSLATE_NOOP("SettingsWindow", "Network"),
    QT_TRANSLATE_NOOP("SettingsWindow", "DNS"),
    QT_TRANSLATE_NOOP("SettingsWindow", "Routing"),
    QT_TRANSLATE_NOOP("SettingsWindow", "Subscriptions"),
    QT_TRANSLATE_NOOP("SettingsWindow", "Troubleshooting"),
};

} // namespace

SettingsWindow::SettingsWindow(Services services, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_services(std::move(services))
    , m_sidebar(new QListWidget(this))
    , m_stack(new ScreenStack(this))
{
    setObjectName(QStringLiteral("settings-window"));
    setWindowTitle(tr("Settings"));
    resize(550, 500);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_sidebar->setAccessibleName(tr("Settings pages"));
    m_sidebar->setFrameShape(QFrame::NoFrame);
    m_sidebar->setFixedWidth(150);
    // Rows with room around them, selected as a rounded band, on the page's background: the
    // palette gives the colours, in light and dark styles alike.
    m_sidebar->setStyleSheet(
        QStringLiteral("QListWidget { padding: 10px 8px; background: palette(window); outline: 0; }"
                       "QListWidget::item { padding: 6px 8px; border-radius: 6px; }"
                       "QListWidget::item:selected { background: palette(highlight);"
                       " color: palette(highlighted-text); }"));
    auto *divider = new QFrame(this);
    divider->setFrameShape(QFrame::VLine);
    divider->setFrameShadow(QFrame::Plain);
    divider->setForegroundRole(QPalette::Mid);
    for (const char *section : sections) {
        auto *item = new QListWidgetItem(tr(section), m_sidebar);
        item->setData(Qt::UserRole, QString::fromLatin1(section));
    }
    layout->addWidget(m_sidebar);
    layout->addWidget(divider);

    layout->addWidget(m_stack, 1);

    connect(m_sidebar, &QListWidget::currentRowChanged, this,
        [this](int row) { showSection(row < 0 ? QString() : m_sidebar->item(row)->data(Qt::UserRole).toString()); });
    m_sidebar->setCurrentRow(0);
}

void SettingsWindow::present()
{
    show();
    setWindowState(windowState() & ~Qt::WindowMinimized);
    raise();
    activateWindow();
}

QString SettingsWindow::selectedSection() const
{
    const QListWidgetItem *item = m_sidebar->currentItem();
    return item ? item->data(Qt::UserRole).toString() : QString();
}

void SettingsWindow::selectSection(const QString &id)
{
    for (int row = 0; row < m_sidebar->count(); ++row) {
        if (m_sidebar->item(row)->data(Qt::UserRole).toString() == id) {
            m_sidebar->setCurrentRow(row);
            return;
        }
    }
}

QWidget *SettingsWindow::page() const
{
    return m_page;
}

QString SettingsWindow::pageTitle() const
{
    return m_stack->top() ? m_stack->top()->title() : QString();
}

void SettingsWindow::showSection(const QString &id)
{
    QWidget *page = nullptr;
    QString title;
    if (id == u"General") {
        page = new GeneralSettingsPage(
            m_services.settings, m_services.scheduler, m_services.loginItem, m_services.versionText);
        title = tr("General Settings");
    } else if (id == u"Network") {
        page = new NetworkSettingsPage(m_services.settings, m_services.scheduler, m_services.transparentRequirement);
        title = tr("Network Settings");
    } else if (id == u"DNS") {
        page = new DNSSettingsPage(m_services.settings, m_services.scheduler);
        title = tr("DNS Settings");
    } else if (id == u"Routing") {
        page = new RoutingSettingsPage(m_services.settings, m_services.scheduler);
        title = tr("Routing Settings");
    } else if (id == u"Subscriptions") {
        // Titled by its section alone.
        page = new SubscriptionsSettingsPage(m_services.groups, m_services.loader, m_services.usages);
    } else if (id == u"Troubleshooting") {
        page = new TroubleshootingPage(m_services.vpn);
        title = tr("Throubleshooting");
    } else {
        auto *nothing = new QLabel(tr("Select setting menu"));
        nothing->setAlignment(Qt::AlignCenter);
        page = nothing;
    }
    // The page is the root of the detail's navigation stack; long pages scroll.
    auto *root = new Screen;
    root->setTitle(title);
    auto *layout = new QVBoxLayout(root);
    layout->setContentsMargins(0, 0, 0, 0);
    auto *scroll = new QScrollArea(root);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setWidget(page);
    layout->addWidget(scroll);
    m_page = page;
    m_stack->setRoot(root);
}
