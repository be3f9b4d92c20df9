#include "ui/servers/serverdetailsscreen.h"

#include "app/catalogue/statuschecks.h"
#include "ui/common/icons.h"
#include "ui/common/statusmark.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

using namespace std::chrono_literals;

// The reachability mark of one server: its dot, or a turning arc while a check runs.
class StatusMark final : public QWidget {
public:
    explicit StatusMark(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(16, 16);
        m_timer.setInterval(80ms);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_phase = (m_phase + 1) % 12;
            update();
        });
    }

    void display(OnlineStatus status, bool busy)
    {
        m_status = status;
        m_busy = busy;
        if (busy)
            m_timer.start();
        else
            m_timer.stop();
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        if (m_busy)
            paintBusyArc(painter, rect(), palette().color(QPalette::PlaceholderText), m_phase / 12.0);
        else
            paintStatusDot(painter, rect(), m_status);
    }

private:
    QTimer m_timer;
    OnlineStatus m_status = OnlineStatus::unknown;
    bool m_busy = false;
    int m_phase = 0;
};

namespace {

// The rows a server's settings give, with their values; VLESS adds its security and flow when set.
QList<std::pair<QString, QString>> settingRows(const Server &server)
{
    const ServerSettings settings = server.settings();
    QList<std::pair<QString, QString>> rows {
        { ServerDetailsScreen::tr("Name:"), server.name() },
        { ServerDetailsScreen::tr("Protocol:"), protocolName(settings) },
        { ServerDetailsScreen::tr("Address:"), address(settings) },
        { ServerDetailsScreen::tr("Port:"), QString::number(port(settings)) },
    };
    if (const auto *vless = std::get_if<VLESSSettings>(&settings)) {
        if (!vless->security.isEmpty() && vless->security != QLatin1String("none"))
            rows.append({ ServerDetailsScreen::tr("Security:"), vless->security.toUpper() });
        if (!vless->flow.isEmpty())
            rows.append({ ServerDetailsScreen::tr("Flow:"), vless->flow });
    }
    return rows;
}

} // namespace

ServerDetailsScreen::ServerDetailsScreen(ServerPtr server, StatusProbe &probe, QWidget *parent)
    : Screen(parent)
    , m_server(std::move(server))
    , m_probe(probe)
    , m_form(new QFormLayout(this))
    , m_statusRow(new QWidget(this))
{
    setTitle(tr("Server Details"));

    auto *edit = new QToolButton;
    edit->setIcon(icon(IconName::edit));
    edit->setText(tr("Edit"));
    edit->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    edit->setToolTip(tr("Edit this server"));
    edit->setAccessibleName(tr("Edit"));
    edit->setAutoRaise(true);
    edit->setFocusPolicy(Qt::StrongFocus);
    connect(edit, &QToolButton::clicked, this, [this] { Q_EMIT editRequested(m_server); });
    addTrailingHeaderWidget(edit);

    m_mark = new StatusMark(m_statusRow);
    m_statusText = new QLabel(m_statusRow);
    m_check = new QPushButton(tr("Check Status"), m_statusRow);
    m_check->setAccessibleName(tr("Check Status"));
    connect(
        m_check, &QPushButton::clicked, this, [this] { QCoro::connect(checkStatus(m_server, m_probe), this, [] {}); });
    auto *statusLayout = new QHBoxLayout(m_statusRow);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->addWidget(m_mark);
    statusLayout->addWidget(m_statusText);
    statusLayout->addSpacing(8);
    statusLayout->addWidget(m_check);
    statusLayout->addStretch();

    m_form->setContentsMargins(20, 16, 20, 16);
    m_form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_form->setFieldGrowthPolicy(QFormLayout::ExpandingFieldsGrow);
    showFields();
    showStatus();

    connect(m_server.get(), &Server::nameChanged, this, &ServerDetailsScreen::showFields);
    connect(m_server.get(), &Server::settingsChanged, this, &ServerDetailsScreen::showFields);
    connect(m_server.get(), &Server::statusChanged, this, &ServerDetailsScreen::showStatus);
    connect(m_server.get(), &Server::inProgressChanged, this, &ServerDetailsScreen::showStatus);
}

QList<std::pair<QString, QString>> ServerDetailsScreen::rows() const
{
    QList<std::pair<QString, QString>> shown;
    for (int row = 0; row < m_form->rowCount(); ++row) {
        const auto *label = qobject_cast<QLabel *>(m_form->itemAt(row, QFormLayout::LabelRole)->widget());
        QWidget *field = m_form->itemAt(row, QFormLayout::FieldRole)->widget();
        const auto *value = qobject_cast<QLabel *>(field);
        shown.append({ label->text(), field == m_statusRow ? m_statusText->text() : value->text() });
    }
    return shown;
}

void ServerDetailsScreen::showFields()
{
    // The status row stays; the rows above it are made anew, as the protocol may have changed.
    if (m_form->indexOf(m_statusRow) >= 0) {
        const QFormLayout::TakeRowResult status = m_form->takeRow(m_statusRow);
        if (status.labelItem) {
            delete status.labelItem->widget();
            delete status.labelItem;
        }
        delete status.fieldItem;
    }
    while (m_form->rowCount() > 0)
        m_form->removeRow(0);
    for (const auto &[label, value] : settingRows(*m_server)) {
        auto *field = new QLabel(value, this);
        field->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        m_form->addRow(label, field);
    }
    m_form->addRow(tr("Status:"), m_statusRow);
    m_statusRow->show();
}

void ServerDetailsScreen::showStatus()
{
    m_mark->display(m_server->status(), m_server->inProgress());
    m_statusText->setText(onlineStatusText(m_server->status()));
}
