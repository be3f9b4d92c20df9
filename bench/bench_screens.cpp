// Every screen of the program over a small catalogue, offscreen: the time from showing each to its
// first painted frame. With --png DIR it also saves each screen, in the light and the dark palette,
// for looking at them and for the README.
#include "app/application/versiontext.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionusagestore.h"
#include "app/platform/loginitem.h"
#include "app/settings/settingsaccess.h"
#include "app/settings/vpnactions.h"
#include "app/tunnel/systemextensionmanager.h"
#include "app/tunnel/vpnmanager.h"
#include "app/updates/updatechecker.h"
#include "core/foundation/defaultsstore.h"
#include "core/tunnel/tunnelmessages.h"
#include "faketunnelplatform.h"
#include "ui/common/alert.h"
#include "ui/common/screenstack.h"
#include "ui/common/sheet.h"
#include "ui/forms/importscreens.h"
#include "ui/forms/serverformscreen.h"
#include "ui/mainwindow/mainview.h"
#include "ui/mainwindow/mainwindow.h"
#include "ui/servers/serverslistview.h"
#include "ui/settings/routingpages.h"
#include "ui/settings/settingswindow.h"
#include "ui/settings/subscriptionspage.h"
#include "ui/settings/troubleshootingpage.h"
#include "ui/tray/trayicon.h"
#include "ui/updates/updateprompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPalette>
#include <QPlainTextEdit>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;

namespace {

struct FixedSettings final : SettingsAccess {
    AppSettings value;
    const AppSettings &settings() const override { return value; }
    void setSettings(const AppSettings &settings) override { value = settings; }
    void saveSettings() override { }
};

void settle(int ms = 50)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

class PaintCounter final : public QObject {
public:
    explicit PaintCounter(QWidget *widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

QPalette darkPalette()
{
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2d), base(0x1e, 0x1e, 0x20), text(0xee, 0xee, 0xee);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3d));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x2f, 0x7c, 0xf6));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(0x8a, 0x8a, 0x8e));
    palette.setColor(QPalette::Link, QColor(0x4c, 0x9b, 0xff));
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6a, 0x6a, 0x6e));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6a, 0x6a, 0x6e));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6a, 0x6a, 0x6e));
    // Fusion etches disabled text with this colour; the light default would make it look enabled.
    palette.setColor(QPalette::Disabled, QPalette::Light, window);
    return palette;
}

// Two manual servers and a subscription of three, with reachability marks of each kind.
void fillCatalogue(GroupCollection &groups)
{
    const auto server = [](const QString &name, ServerSettings settings, OnlineStatus status) {
        auto made = std::make_shared<Server>(name, std::move(settings), false);
        made->setStatus(status);
        return made;
    };
    groups.addServer(server(u"Home"_s,
        ShadowsockSettings { u"home.example.net"_s, 8388, ShadowsocksCipher::chacha20Poly1305, u"pw"_s },
        OnlineStatus::online));
    groups.addServer(server(u"Office"_s,
        VMessSettings { u"vpn.office.example"_s, 443, u"b831381d-6324-4d53-ad4f-8cda48b30811"_s, false, {}, {} },
        OnlineStatus::offline));
    QList<ServerPtr> provided;
    for (const auto &[name, status] : { std::pair { u"Frankfurt 1"_s, OnlineStatus::online },
             std::pair { u"Tokyo 2"_s, OnlineStatus::unknown }, std::pair { u"São Paulo"_s, OnlineStatus::online } }) {
        VLESSSettings settings;
        settings.address = name.left(5).toLower() + u".provider.example"_s;
        settings.port = 443;
        settings.userId = u"27848739-7e62-4138-9fd3-098a63964b6b"_s;
        settings.security = u"tls"_s;
        provided.append(server(name, settings, status));
    }
    groups.addSubscription(std::make_shared<ServerGroup>(
        SubscriptionType { u"Provider"_s, u"https://provider.example/sub"_s, true }, provided));
    groups.setSelectedServer(groups.manualGroup()->servers().first());
}

// A minute of traffic for the graph: four series (sent and received, each in two shades).
QByteArray trafficBars(int n)
{
    QByteArray bytes(4 * n, '\0');
    for (int i = 0; i < n; ++i) {
        const double wave = 0.5 + 0.45 * std::sin(i / 6.0);
        bytes[i] = char(40 * wave);
        bytes[n + i] = char(90 * wave + 20 * (i % 3));
        bytes[2 * n + i] = char(40 * wave);
        bytes[3 * n + i] = char(20 * wave);
    }
    return bytes;
}

class Shots {
public:
    explicit Shots(QString directory)
        : m_directory(std::move(directory))
    {
    }

    // Makes the change (a screen pushed, a state reached), shows the widget if it is not shown and
    // waits for its next frame; prints the time it took and saves the picture.
    void take(QWidget *widget, const QString &name, const std::function<void()> &change = {})
    {
        PaintCounter painted(widget);
        QElapsedTimer took;
        took.start();
        if (change)
            change();
        if (!widget->isVisible())
            widget->show();
        widget->update();
        while (painted.paints == 0 && took.elapsed() < 5000)
            QCoreApplication::processEvents();
        const qint64 ms = took.elapsed();
        if (m_first)
            std::printf("%-44s %6lld ms\n", qPrintable(name + u": first frame"_s), static_cast<long long>(ms));
        if (m_directory.isEmpty())
            return;
        settle(350);
        widget->grab().save(QDir(m_directory).filePath(name + m_suffix + u".png"_s));
    }
    void setPass(bool first, const QString &suffix)
    {
        m_first = first;
        m_suffix = suffix;
    }

private:
    QString m_directory;
    QString m_suffix;
    bool m_first = true;
};

template <typename T> T *child(QWidget *parent, const QString &text)
{
    for (T *found : parent->findChildren<T *>()) {
        if (found->text() == text || found->accessibleName() == text)
            return found;
    }
    return nullptr;
}

void pass(Shots &shots)
{
    QTemporaryDir dir;
    DefaultsStore store(dir.filePath(u"store"_s));
    FakeTunnelPlatform platform;
    VPNManager vpn(platform, [] { return AppSettings {}; });
    FakeExtensionActivation activation;
    SystemExtensionManager extensions(activation, [] {});
    FixedSettings settings;
    SubscriptionLoader loader;

    {
        DefaultsStore emptyStore(dir.filePath(u"empty"_s));
        GroupCollection empty(emptyStore);
        MainWindow window(empty, vpn, extensions, settings, loader);
        shots.take(&window, u"welcome"_s);
    }

    GroupCollection groups(store);
    fillCatalogue(groups);
    // A provider's figures, as its download's header gave them.
    SubscriptionUsageStore usages(store);
    if (const auto *first = std::get_if<SubscriptionType>(&groups.subscriptions().first()->type()))
        usages.record(first->url,
            parseSubscriptionUserinfo("upload=1181116006; download=4617089843; "
                                      "total=53687091200; expire=1798761600"));
    MainWindow window(groups, vpn, extensions, settings, loader);
    window.setUsages(&usages);
    shots.take(&window, u"main-activating"_s);
    Q_EMIT activation.finished(0);
    FakeTunnelConnection &connection = loadSavedTunnel(platform, vpn, VPNStatus::disconnected);
    settle();
    shots.take(&window, u"main-disconnected"_s);

    connection.setStatus(VPNStatus::connected);
    settle(400);
    auto *view = qobject_cast<MainView *>(window.stack()->root());
    view->refreshGraph();
    if (!connection.messages.isEmpty())
        connection.answer(connection.messages.size() - 1, encodeGraphData(734003, 41984, trafficBars(60)));
    settle();
    shots.take(&window, u"main-connected"_s);

    shots.take(&window, u"servers"_s, [&] { window.openServersList(); });
    if (auto *list = window.findChild<ServersListView *>()) {
        // The pointer over a server that is not the selected one: its row shows the hover buttons.
        const QModelIndex group = list->model()->index(0, 0);
        const QPoint over = list->visualRect(list->model()->index(1, 0, group)).center();
        shots.take(&window, u"servers-hovered-row"_s, [&] {
            QMouseEvent move(QEvent::MouseMove, over, list->viewport()->mapToGlobal(over), Qt::NoButton, Qt::NoButton,
                Qt::NoModifier);
            QCoreApplication::sendEvent(list->viewport(), &move);
        });
    }
    const ServerPtr vless = groups.subscriptions().first()->servers().first();
    shots.take(&window, u"server-details"_s, [&] { window.openServerDetails(vless); });
    shots.take(&window, u"server-form-edit"_s, [&] { window.openServerEditor(vless); });
    window.stack()->popToRoot();

    Sheet *edit = EditServerSheet::open(groups.manualGroup()->servers().first(), groups, &window);
    shots.take(edit, u"edit-sheet"_s);
    edit->close();
    settle();

    Sheet *add = AddServerSheet::open(groups, loader, &window);
    shots.take(add, u"add-servers"_s);
    for (const auto &[row, name] : { std::pair { u"Subscription URL"_s, u"add-subscription"_s },
             std::pair { u"Proxy URI"_s, u"add-proxy-uri"_s }, std::pair { u"Server"_s, u"add-server-form"_s } }) {
        if (auto *button = child<QAbstractButton>(add, row)) {
            shots.take(add, name, [button] { button->click(); });
            if (name == u"add-proxy-uri"_s) {
                // A link that does not parse: the screen's alert.
                add->findChild<QPlainTextEdit *>()->setPlainText(u"vmess://bm90IGpzb24"_s);
                if (auto *next = child<QAbstractButton>(add, u"Next"_s))
                    next->click();
                if (auto *box = add->findChild<QMessageBox *>()) {
                    shots.take(box, u"alert-proxy-uri"_s);
                    box->done(QMessageBox::Accepted);
                }
                settle();
            }
            add->stack()->popToRoot();
        }
    }
    add->close();
    settle();

    UpdateChecker updates(QUrl(), u"1.0"_s);
    TrayIcon tray(vpn, groups, updates, {});
    tray.menu()->popup(QPoint(0, 0));
    shots.take(tray.menu(), u"tray-menu"_s);
    tray.serversMenu()->popup(QPoint(0, 0));
    shots.take(tray.serversMenu(), u"tray-servers"_s);
    tray.serversMenu()->hide();
    tray.menu()->hide();

    SettingsActionScheduler scheduler(settings, groups, vpn);
    QTemporaryDir autostart;
    LoginItem loginItem(autostart.path(), u"/usr/bin/wrenlow"_s);
    SettingsWindow settingsWindow({ settings, scheduler, loginItem, groups, loader, vpn, &usages,
        appVersionText(u"0.1.0"_s, u"128"_s), QString() });
    for (const auto &[section, name] : { std::pair { u"General"_s, u"settings-general"_s },
             std::pair { u"Network"_s, u"settings-network"_s }, std::pair { u"DNS"_s, u"settings-dns"_s },
             std::pair { u"Subscriptions"_s, u"settings-window-subscriptions"_s },
             std::pair { u"Troubleshooting"_s, u"settings-window-troubleshooting"_s } })
        shots.take(&settingsWindow, name, [&] { settingsWindow.selectSection(section); });
    // The HTTP proxy's rows, and the warning with both proxies off.
    settings.value.network = NetworkSettings { false, true, true, 8080 };
    settingsWindow.selectSection(u"General"_s);
    shots.take(&settingsWindow, u"settings-network-http"_s, [&] { settingsWindow.selectSection(u"Network"_s); });
    settings.value.network.httpProxy = false;
    settingsWindow.selectSection(u"General"_s);
    shots.take(&settingsWindow, u"settings-network-warning"_s, [&] { settingsWindow.selectSection(u"Network"_s); });
    // Routing, its regions with the picker over them, and a domain list with rows of both kinds.
    settings.value.geoIP
        = GeoIPSettings { true, { GeoIPRegion { u"China"_s, u".cn"_s }, GeoIPRegion { u"Iran"_s, u".ir"_s } } };
    settings.value.routing.directDomains = { DomainItem { u"intranet.example"_s, DomainRuleType::rootDomain },
        DomainItem { u"printer.local"_s, DomainRuleType::fullDomain } };
    shots.take(&settingsWindow, u"settings-routing"_s, [&] { settingsWindow.selectSection(u"Routing"_s); });
    if (auto *regions = child<QAbstractButton>(&settingsWindow, u"Regions"_s)) {
        shots.take(&settingsWindow, u"settings-regions"_s, [regions] { regions->click(); });
        if (auto *screen = settingsWindow.findChild<RegionsScreen *>()) {
            Sheet *picker = screen->openAddRegion();
            shots.take(picker, u"settings-add-region"_s);
            picker->close();
            settle();
        }
    }
    settingsWindow.selectSection(u"General"_s);
    settingsWindow.selectSection(u"Routing"_s);
    if (auto *direct = child<QAbstractButton>(&settingsWindow, u"Direct"_s))
        shots.take(&settingsWindow, u"settings-domains"_s, [direct] { direct->click(); });
    settingsWindow.hide();

    // The pages still to join the window, at the size of its detail pane, with an unnamed group.
    groups.addSubscription(std::make_shared<ServerGroup>(
        SubscriptionType { QString(), u"https://other.example/sub"_s, false }, QList<ServerPtr> {}));
    {
        SubscriptionsSettingsPage subscriptions(groups, loader);
        subscriptions.resize(400, 500);
        shots.take(&subscriptions, u"settings-subscriptions"_s, [&] {
            const QModelIndex first = subscriptions.list()->model()->index(0, 0);
            subscriptions.list()->selectionModel()->select(first, QItemSelectionModel::ClearAndSelect);
        });
        if (auto *edit = child<QAbstractButton>(&subscriptions, u"Edit"_s)) {
            edit->click();
            if (auto *sheet = subscriptions.findChild<Sheet *>()) {
                shots.take(sheet, u"settings-subscriptions-edit"_s);
                sheet->close();
            }
        }
        settle();
    }
    {
        TroubleshootingPage troubleshooting(vpn);
        troubleshooting.resize(400, 500);
        troubleshooting.setWindowTitle(u"Throubleshooting"_s);
        shots.take(&troubleshooting, u"settings-troubleshooting"_s, [&] {
            troubleshooting.show();
            if (!connection.messages.isEmpty())
                connection.answer(
                    connection.messages.size() - 1, encodeTunnelRequestResult(TunnelResults::MemoryUsed { 1 << 24 }));
            settle();
        });
        if (auto *reset = child<QAbstractButton>(&troubleshooting, u"Reset VPN configuration"_s)) {
            reset->click();
            settle();
            if (QMessageBox *box = troubleshooting.alert().box()) {
                shots.take(box, u"alert-reset"_s);
                box->done(QMessageBox::Accepted);
            }
        }
        settle();
    }

    UpdatePrompt prompt(updates, [](const QUrl &) { return true; });
    prompt.present(UpdateCheckResult {
        UpdateCheckResult::Kind::newer, u"1.2.0"_s, QUrl(u"https://wrenlow.example/download"_s), QString() });
    if (prompt.box())
        shots.take(prompt.box(), u"update-available"_s);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(u"Wrenlow"_s);
    const QStringList arguments = app.arguments();
    QString directory;
    if (const qsizetype png = arguments.indexOf(u"--png"_s); png >= 0 && png + 1 < arguments.size()) {
        directory = arguments.at(png + 1);
        QDir().mkpath(directory);
    }
    std::printf("every screen over 5 servers, offscreen, style %s\n", qPrintable(QApplication::style()->name()));
    Shots shots(directory);
    pass(shots);
    if (!directory.isEmpty()) {
        QApplication::setPalette(darkPalette());
        shots.setPass(false, u"-dark"_s);
        pass(shots);
    }
    return 0;
}
