#include "ui/mainwindow/mainview.h"

#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/settings/settingsaccess.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/log.h"
#include "ui/common/alert.h"
#include "ui/common/icons.h"
#include "ui/common/statusmark.h"
#include "ui/common/toggleswitch.h"
#include "ui/graph/speedgraph.h"

#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

using namespace std::chrono_literals;

// The reachability mark of the status row.
class StatusDot final : public QWidget {
public:
    explicit StatusDot(QWidget *parent)
        : QWidget(parent)
    {
        setFixedSize(12, 12);
    }

    void setStatus(OnlineStatus status)
    {
        m_status = status;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        paintStatusDot(painter, rect(), m_status);
    }

private:
    OnlineStatus m_status = OnlineStatus::unknown;
};

namespace {

// The graph's distance from the row above and the section's edge below.
constexpr int graphMargin = 8;
const QColor tileBlue(0, 122, 255);
const QColor warningRed(255, 59, 48);

// A section of the form: rows on the base colour, apart from the window's background.
QFrame *section(QWidget *parent)
{
    auto *frame = new QFrame(parent);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setBackgroundRole(QPalette::Base);
    frame->setAutoFillBackground(true);
    auto *layout = new QVBoxLayout(frame);
    layout->setContentsMargins(12, 6, 12, 6);
    layout->setSpacing(6);
    return frame;
}

QFrame *rowSeparator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setForegroundRole(QPalette::Midlight);
    return line;
}

QLabel *secondaryLabel(QWidget *parent, qreal scale = 1.0)
{
    auto *label = new QLabel(parent);
    label->setForegroundRole(QPalette::PlaceholderText);
    if (scale != 1.0) {
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * scale);
        label->setFont(font);
    }
    return label;
}

// The globe on a blue tile, as the selected server's row shows it.
QPixmap globeTile(qreal devicePixelRatio)
{
    constexpr int side = 28;
    QPixmap pixmap(QSize(side, side) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(tileBlue);
    painter.drawRoundedRect(QRectF(0, 0, side, side), 6, 6);
    tintedIcon(IconName::globe, Qt::white).paint(&painter, QRect(5, 5, side - 10, side - 10));
    return pixmap;
}

// The selected server's row leads to its details: the whole row is one button, with a chevron at its end.
class ServerRowButton final : public QAbstractButton {
public:
    explicit ServerRowButton(QWidget *parent)
        : QAbstractButton(parent)
    {
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAttribute(Qt::WA_Hover);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown() || underMouse() || m_keyboardFocus) {
            QColor shade = palette().color(QPalette::Highlight);
            shade.setAlphaF(isDown() ? 0.25f : 0.12f);
            painter.setPen(Qt::NoPen);
            painter.setBrush(shade);
            painter.drawRoundedRect(QRectF(rect()).adjusted(-4, 0, 4, 0), 6, 6);
        }
        // The chevron: this row leads somewhere.
        QPen pen(palette().color(QPalette::PlaceholderText), 1.6);
        pen.setCapStyle(Qt::RoundCap);
        painter.setPen(pen);
        const qreal x = width() - 8;
        const qreal y = height() / 2.0;
        painter.drawPolyline(QPolygonF({ QPointF(x - 4, y - 5), QPointF(x, y), QPointF(x - 4, y + 5) }));
    }

    // Marked only when reached by keyboard: a click leaves focus here too, and a row that stays
    // lit after a click looks selected.
    void focusInEvent(QFocusEvent *event) override
    {
        m_keyboardFocus = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason
            || event->reason() == Qt::ShortcutFocusReason;
        QAbstractButton::focusInEvent(event);
    }

    void focusOutEvent(QFocusEvent *event) override
    {
        m_keyboardFocus = false;
        QAbstractButton::focusOutEvent(event);
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
            animateClick();
            return;
        }
        QAbstractButton::keyPressEvent(event);
    }

private:
    bool m_keyboardFocus = false;
};

bool isActiveStatus(VPNStatus status)
{
    return status == VPNStatus::connecting || status == VPNStatus::connected || status == VPNStatus::reasserting;
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromLocal8Bit(error.what());
}

} // namespace

MainView::MainView(GroupCollection &groups, VPNManager &vpn, SystemExtensionManager &extensions,
    SettingsAccess &settings, SubscriptionLoader &subscriptions, QWidget *parent)
    : Screen(parent)
    , m_groups(groups)
    , m_vpn(vpn)
    , m_extensions(extensions)
    , m_settings(settings)
    , m_subscriptions(subscriptions)
    , m_alert(new Alert(this))
{
    setTitle(tr("Wrenlow"));

    // Proxy section: the switch, and below it the graph while the proxy is on.
    QFrame *proxySection = section(this);
    auto *proxyRow = new QHBoxLayout;
    proxyRow->setSpacing(8);
    auto *proxyLabel = new QLabel(tr("Proxy"), proxySection);
    m_statusText = secondaryLabel(proxySection);
    m_statusText->setObjectName(QStringLiteral("vpn-status"));
    m_switch = new ToggleSwitch(proxySection);
    m_switch->setObjectName(QStringLiteral("proxy-switch"));
    m_switch->setAccessibleName(tr("Proxy"));
    m_switch->setToolTip(tr("Proxy"));
    proxyRow->addWidget(proxyLabel);
    proxyRow->addWidget(m_statusText);
    proxyRow->addStretch();
    proxyRow->addWidget(m_switch);
    proxySection->layout()->addItem(proxyRow);

    m_graphHolder = new QWidget(proxySection);
    auto *graphLayout = new QHBoxLayout(m_graphHolder);
    graphLayout->setContentsMargins(0, graphMargin, 0, graphMargin);
    m_graph = new FullGraph(m_graphHolder);
    graphLayout->addWidget(m_graph, 0, Qt::AlignHCenter | Qt::AlignTop);
    m_graphHolder->setMaximumHeight(0);
    m_graphHolder->hide();
    proxySection->layout()->addWidget(m_graphHolder);
    m_graphAnimation = new QPropertyAnimation(m_graphHolder, "maximumHeight", this);
    m_graphAnimation->setDuration(300);
    m_graphAnimation->setEasingCurve(QEasingCurve::OutCubic);
    connect(m_graphAnimation, &QPropertyAnimation::finished, this, [this] {
        if (!m_isProxyEnabled)
            m_graphHolder->hide();
    });

    m_extensionMessage = new QLabel(this);
    m_extensionMessage->setObjectName(QStringLiteral("extension-message"));
    m_extensionMessage->setWordWrap(true);
    m_extensionMessage->setContentsMargins(12, 0, 12, 0);
    QFont footnote = m_extensionMessage->font();
    footnote.setPointSizeF(footnote.pointSizeF() * 0.9);
    m_extensionMessage->setFont(footnote);

    // Selected server section.
    auto *serverHeader = secondaryLabel(this, 0.9);
    serverHeader->setText(tr("Selected Server"));
    serverHeader->setContentsMargins(12, 0, 12, 0);
    QFrame *serverSection = section(this);

    m_serverRow = new ServerRowButton(serverSection);
    m_serverRow->setObjectName(QStringLiteral("server-row"));
    auto *rowLayout = new QHBoxLayout(m_serverRow);
    rowLayout->setContentsMargins(0, 4, 24, 4);
    rowLayout->setSpacing(12);
    auto *tile = new QLabel(m_serverRow);
    tile->setPixmap(globeTile(devicePixelRatioF()));
    rowLayout->addWidget(tile);
    auto *nameColumn = new QVBoxLayout;
    nameColumn->setSpacing(0);
    m_serverName = new QLabel(m_serverRow);
    QFont semibold = m_serverName->font();
    semibold.setWeight(QFont::DemiBold);
    m_serverName->setFont(semibold);
    m_protocol = secondaryLabel(m_serverRow, 0.85);
    nameColumn->addWidget(m_serverName);
    nameColumn->addWidget(m_protocol);
    rowLayout->addLayout(nameColumn, 1);
    connect(m_serverRow, &QAbstractButton::clicked, this, &MainView::serversListRequested);

    auto *addressRow = new QHBoxLayout;
    addressRow->addWidget(new QLabel(tr("Address:"), serverSection));
    m_address = secondaryLabel(serverSection);
    m_address->setObjectName(QStringLiteral("server-address"));
    m_address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    addressRow->addWidget(m_address, 1);

    auto *statusRow = new QHBoxLayout;
    statusRow->setSpacing(6);
    statusRow->addWidget(new QLabel(tr("Status:"), serverSection));
    m_busy = new BusyIndicator(serverSection);
    m_statusDot = new StatusDot(serverSection);
    m_onlineStatus = secondaryLabel(serverSection, 0.95);
    m_onlineStatus->setObjectName(QStringLiteral("online-status"));
    statusRow->addWidget(m_busy);
    statusRow->addWidget(m_statusDot);
    statusRow->addWidget(m_onlineStatus);
    statusRow->addStretch();
    m_checkStatus = new QPushButton(tr("Check Status"), serverSection);
    m_checkStatus->setAutoDefault(false);
    statusRow->addWidget(m_checkStatus);
    connect(m_checkStatus, &QPushButton::clicked, this, &MainView::onCheckStatusClicked);

    auto *serverLayout = static_cast<QVBoxLayout *>(serverSection->layout());
    serverLayout->addWidget(m_serverRow);
    serverLayout->addWidget(rowSeparator(serverSection));
    serverLayout->addLayout(addressRow);
    serverLayout->addWidget(rowSeparator(serverSection));
    serverLayout->addLayout(statusRow);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 16);
    layout->setSpacing(6);
    layout->addWidget(proxySection);
    layout->addWidget(m_extensionMessage);
    layout->addSpacing(12);
    layout->addWidget(serverHeader);
    layout->addWidget(serverSection);
    layout->addStretch();

    m_settingsButton = new QToolButton;
    m_settingsButton->setIcon(icon(IconName::settings));
    m_settingsButton->setText(tr("Settings"));
    m_settingsButton->setObjectName(QStringLiteral("settings-button"));
    m_settingsButton->setToolTip(tr("Settings"));
    m_settingsButton->setAccessibleName(tr("Settings"));
    m_settingsButton->setAutoRaise(true);
    connect(m_settingsButton, &QToolButton::clicked, this, &MainView::settingsRequested);
    addTrailingHeaderWidget(m_settingsButton);

    setTabOrder(m_switch, m_serverRow);
    setTabOrder(m_serverRow, m_checkStatus);

    connect(m_switch, &QAbstractButton::toggled, this, &MainView::setProxyEnabled);
    connect(this, &Screen::appeared, this, &MainView::onAppeared);
    connect(&m_vpn, &VPNManager::statusChanged, this, &MainView::onStatusChanged);
    connect(&m_extensions, &SystemExtensionManager::statusChanged, this, &MainView::onExtensionStatusChanged);
    connect(&m_groups, &GroupCollection::selectedServerChanged, this, &MainView::onSelectionChanged);
    // Shown once: closing the alert forgets the reason the tunnel stopped.
    connect(m_alert, &Alert::closed, this, [this] {
        if (m_vpn.lastError())
            m_vpn.clearLastError();
    });

    m_subscriptionTimer.setInterval(3600s);
    connect(&m_subscriptionTimer, &QTimer::timeout, this, &MainView::checkSubscriptions);
    m_subscriptionTimer.start();
    m_graphTimer.setInterval(1s);
    connect(&m_graphTimer, &QTimer::timeout, this, &MainView::refreshGraph);
    m_graphTimer.start();

    showServer(m_groups.selectedServer());
    showStatusText();
    showExtensionState();
}

MainView::~MainView() = default;

void MainView::start(QCoro::Task<> &&task)
{
    QCoro::connect(std::move(task), this, [] {});
}

void MainView::onAppeared()
{
    if (!m_activated) {
        m_activated = true;
        // Success loads the tunnel profile; failures reach the alert through the status.
        m_extensions.activate();
    }
    start(refreshOnAppearing());
    checkSubscriptions();
}

QCoro::Task<> MainView::refreshOnAppearing()
{
    const QPointer<MainView> self(this);
    co_await m_vpn.refresh();
    if (self)
        setProxyEnabled(m_vpn.isActive());
}

void MainView::checkSubscriptions()
{
    start(runSubscriptionCheck());
}

QCoro::Task<> MainView::runSubscriptionCheck()
{
    logDebug(QStringLiteral("Checking if subscriptions update is required"));
    // The loader and the catalogue outlive the view; the result is not shown.
    GroupCollection &groups = m_groups;
    SubscriptionLoader &loader = m_subscriptions;
    try {
        co_await updateSubscriptions(groups, false, loader);
    } catch (const std::exception &error) {
        logError(QStringLiteral("Subscription check failed: ") + describe(error));
    }
}

void MainView::refreshGraph()
{
    if (!m_isProxyEnabled || m_fetchingGraph)
        return;
    start(fetchGraph());
}

QCoro::Task<> MainView::fetchGraph()
{
    const QPointer<MainView> self(this);
    // One request at a time: a tunnel slow to answer would otherwise collect a queue of them.
    m_fetchingGraph = true;
    std::optional<GraphData> data;
    try {
        data = co_await m_vpn.getGraphData();
    } catch (const std::exception &) {
        // A missed refresh keeps the last picture.
    }
    if (!self)
        co_return;
    m_fetchingGraph = false;
    if (data)
        setGraphData(*data);
}

void MainView::setGraphData(const GraphData &data)
{
    m_graphData = data;
    m_graph->setGraphData(data);
}

void MainView::onStatusChanged()
{
    const VPNStatus status = m_vpn.status();
    if (status == VPNStatus::disconnected) {
        if (const ErrorPtr error = m_vpn.lastError())
            m_alert->show(tr("VPN connection error"), error->description());
        setGraphData(GraphData {});
    } else if (status == VPNStatus::connected && m_selectedServer) {
        ServerPtr server = m_selectedServer;
        start(::checkCurrentStatus(std::move(server), m_vpn));
    }
    showStatusText();
    setProxyEnabled(isActiveStatus(status));
}

void MainView::onExtensionStatusChanged()
{
    const SystemExtensionLoadStatus status = m_extensions.status();
    if (status.kind() == SystemExtensionLoadStatus::Kind::failed && !status.failure().isEmpty())
        m_alert->show(tr("Error initializing System Extension"), status.failure());
    showExtensionState();
}

void MainView::onSelectionChanged()
{
    const ServerPtr server = m_groups.selectedServer();
    if (!server)
        return;
    // A refresh puts a new object with the same id in place: the tunnel already has that server.
    const bool sameServer = m_selectedServer && m_selectedServer->id() == server->id();
    showServer(server);
    if (!sameServer)
        start(changeServer(server));
}

QCoro::Task<> MainView::changeServer(ServerPtr server)
{
    const QPointer<MainView> self(this);
    std::optional<QString> failure;
    // Named: GCC 12 destroys some temporaries of a co_await expression twice.
    AppSettings settings = m_settings.settings();
    try {
        co_await m_vpn.changeServer(std::move(server), std::move(settings));
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (self && failure)
        m_alert->show(tr("Error changing VPN server"), *failure);
}

void MainView::setProxyEnabled(bool enabled)
{
    if (enabled == m_isProxyEnabled)
        return;
    m_isProxyEnabled = enabled;
    {
        const QSignalBlocker blocker(m_switch);
        m_switch->setChecked(enabled);
    }
    animateGraph(enabled);
    proxyEnabledChanged(enabled);
}

void MainView::proxyEnabledChanged(bool enabled)
{
    // Assignments that follow the tunnel's own status end here, so they never start or stop it.
    if (enabled == m_vpn.isActive())
        return;
    start(switchTunnel(enabled, m_selectedServer));
}

QCoro::Task<> MainView::switchTunnel(bool enabled, ServerPtr server)
{
    const QPointer<MainView> self(this);
    std::optional<QString> failure;
    try {
        if (enabled)
            co_await m_vpn.enableVPN(std::move(server));
        else
            co_await m_vpn.disableVPN();
    } catch (const std::exception &error) {
        failure = describe(error);
    }
    if (!self || !failure)
        co_return;
    m_alert->show(tr("Error"), *failure);
    setProxyEnabled(false);
}

void MainView::onCheckStatusClicked()
{
    if (!m_selectedServer)
        return;
    ServerPtr server = m_selectedServer;
    if (m_vpn.status() == VPNStatus::connected)
        start(::checkCurrentStatus(std::move(server), m_vpn));
    else
        start(::checkStatus(std::move(server), m_vpn));
}

void MainView::animateGraph(bool shown)
{
    m_graphAnimation->stop();
    const int target = shown ? m_graph->minimumHeight() + 2 * graphMargin : 0;
    if (shown)
        m_graphHolder->show();
    m_graphAnimation->setStartValue(m_graphHolder->maximumHeight());
    m_graphAnimation->setEndValue(target);
    m_graphAnimation->start();
}

void MainView::showServer(const ServerPtr &server)
{
    for (const auto &connection : std::as_const(m_serverConnections))
        disconnect(connection);
    m_serverConnections.clear();
    m_selectedServer = server;
    if (!server) {
        m_serverName->clear();
        m_protocol->clear();
        m_address->clear();
        showServerStatus();
        return;
    }
    const auto showFields = [this] {
        m_serverName->setText(m_selectedServer->name());
        m_protocol->setText(protocolName(m_selectedServer->settings()));
        m_address->setText(address(m_selectedServer->settings()));
        m_serverRow->setAccessibleName(tr("Selected server: %1").arg(m_selectedServer->name()));
    };
    m_serverConnections.append(connect(server.get(), &Server::nameChanged, this, showFields));
    m_serverConnections.append(connect(server.get(), &Server::settingsChanged, this, showFields));
    m_serverConnections.append(connect(server.get(), &Server::statusChanged, this, &MainView::showServerStatus));
    m_serverConnections.append(connect(server.get(), &Server::inProgressChanged, this, &MainView::showServerStatus));
    showFields();
    showServerStatus();
}

void MainView::showServerStatus()
{
    const bool busy = m_selectedServer && m_selectedServer->inProgress();
    const OnlineStatus status = m_selectedServer ? m_selectedServer->status() : OnlineStatus::unknown;
    m_busy->setVisible(busy);
    m_statusDot->setVisible(!busy);
    m_onlineStatus->setVisible(!busy);
    m_statusDot->setStatus(status);
    m_onlineStatus->setText(onlineStatusText(status));
}

void MainView::showStatusText()
{
    m_statusText->setText(VPNManager::statusText(m_vpn.status()));
}

void MainView::showExtensionState()
{
    using Kind = SystemExtensionLoadStatus::Kind;
    const SystemExtensionLoadStatus status = m_extensions.status();
    const bool success = status.kind() == Kind::success;
    m_switch->setEnabled(success);
    m_checkStatus->setEnabled(success);
    m_extensionMessage->setVisible(!success && !status.message().isEmpty());
    m_extensionMessage->setText(status.message());
    const bool alarming = status.kind() == Kind::initializationTimeout || status.kind() == Kind::rebootRequired
        || status.kind() == Kind::failed;
    QPalette palette = m_extensionMessage->palette();
    palette.setColor(QPalette::WindowText, alarming ? warningRed : this->palette().color(QPalette::PlaceholderText));
    m_extensionMessage->setPalette(palette);
}
