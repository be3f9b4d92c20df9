#include "ui/settings/troubleshootingpage.h"

#include "app/tunnel/vpnmanager.h"
#include "core/foundation/bytecount.h"
#include "ui/common/alert.h"
#include "ui/settings/settingsrows.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QString describeFailure(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromLocal8Bit(error.what());
}

} // namespace

TroubleshootingPage::TroubleshootingPage(VPNManager &vpn, QWidget *parent)
    : QWidget(parent)
    , m_vpn(vpn)
    , m_alert(new Alert(this))
    , m_reset(new QPushButton(tr("Reset VPN configuration"), this))
    , m_memory(secondaryLine(QString(), this))
{
    QVBoxLayout *page = settingsPageLayout(this);
    QVBoxLayout *rows = settingsSection(page, QString(), this);
    m_reset->setAccessibleName(m_reset->text());
    m_reset->setAutoDefault(false);
    paintResetRed();
    rows->addWidget(m_reset, 0, Qt::AlignLeft);

    // The section's footer, under its box.
    m_memory->setAccessibleName(tr("Memory allocated"));
    m_memory->setContentsMargins(10, 0, 10, 0);
    page->addWidget(m_memory);
    page->addStretch(1);
    showMemory(std::nullopt);

    connect(m_reset, &QPushButton::clicked, this, [this] {
        m_reset->setEnabled(false);
        QCoro::connect(reset(this, m_vpn), this, [] {});
    });
}

void TroubleshootingPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_vpn.status() != VPNStatus::connected) {
        showMemory(std::nullopt);
        return;
    }
    QCoro::connect(fetchMemory(this, m_vpn), this, [] {});
}

void TroubleshootingPage::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        paintResetRed();
}

void TroubleshootingPage::paintResetRed()
{
    // Red, as a warning that this undoes what the program set up; lighter on a dark button so it
    // stays readable.
    const bool dark = palette().color(QPalette::Button).lightness() < 128;
    QPalette red = m_reset->palette();
    red.setColor(QPalette::ButtonText, dark ? QColor(0xff, 0x5c, 0x52) : QColor(0xd7, 0x26, 0x1e));
    m_reset->setPalette(red);
}

void TroubleshootingPage::showMemory(std::optional<qint64> bytes)
{
    m_memory->setVisible(bytes.has_value());
    if (bytes)
        m_memory->setText(formatByteCount(*bytes) + tr(" memory allocated in network extension"));
}

QCoro::Task<> TroubleshootingPage::fetchMemory(QPointer<TroubleshootingPage> page, VPNManager &vpn)
{
    // Any answer but an amount, a failure included, counts as nothing allocated.
    qint64 bytes = 0;
    try {
        const TunnelRequestResult result = co_await vpn.doTunnelRequest(TunnelRequests::GetMemoryUsed {});
        if (const auto *used = std::get_if<TunnelResults::MemoryUsed>(&result))
            bytes = used->amount;
    } catch (const std::exception &) {
    }
    if (page)
        page->showMemory(bytes);
}

QCoro::Task<> TroubleshootingPage::reset(QPointer<TroubleshootingPage> page, VPNManager &vpn)
{
    std::optional<QString> failure;
    try {
        co_await vpn.resetConfiguration();
    } catch (const std::exception &error) {
        failure = describeFailure(error);
    }
    // Left meanwhile: the reset happened, nobody is there to tell.
    if (page)
        page->resetFinished(failure);
}

void TroubleshootingPage::resetFinished(const std::optional<QString> &failure)
{
    m_reset->setEnabled(true);
    if (failure)
        m_alert->show(tr("Error resetting configuration"), *failure);
    else
        m_alert->show(QString(), tr("VPN configuration was successfully reset"));
}
