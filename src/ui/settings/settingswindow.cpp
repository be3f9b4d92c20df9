#include "ui/settings/settingswindow.h"

#include "ui/forms/formparts.h"
#include "ui/settings/settingspages.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {

// The pages in sidebar order. The routing, subscriptions and troubleshooting pages join as they
// are built.
constexpr const char *sections[] = {
    QT_TRANSLATE_NOOP("SettingsWindow", "General"),
    QT_TRANSLATE_NOOP("SettingsWindow", "Network"),
    QT_TRANSLATE_NOOP("SettingsWindow", "DNS"),
};

} // namespace

SettingsWindow::SettingsWindow(Services services, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_services(std::move(services))
    , m_sidebar(new QListWidget(this))
    , m_title(new QLabel(this))
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
    m_sidebar->setStyleSheet(QStringLiteral("QListWidget { padding: 10px 8px; background: palette(window); outline: 0; }"
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

    auto *detail = new QWidget(this);
    m_detail = new QVBoxLayout(detail);
    m_detail->setContentsMargins(0, 12, 0, 0);
    m_title->setFont(styledFont(TextStyle::title3, m_title));
    m_title->setContentsMargins(20, 0, 20, 0);
    m_detail->addWidget(m_title);
    layout->addWidget(detail, 1);

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

QString SettingsWindow::pageTitle() const
{
    return m_title->text();
}

QWidget *SettingsWindow::page() const
{
    return m_scroll ? m_scroll->widget() : nullptr;
}

void SettingsWindow::showSection(const QString &id)
{
    delete m_scroll;
    m_scroll = nullptr;
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
    } else {
        page = new QLabel(tr("Select setting menu"));
        static_cast<QLabel *>(page)->setAlignment(Qt::AlignCenter);
    }
    m_title->setText(title);
    m_title->setVisible(!title.isEmpty());
    // Long pages scroll; the window keeps its size.
    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setWidget(page);
    m_detail->addWidget(m_scroll, 1);
}
