// Prints what the servers list costs with 50 subscriptions x 1,000 servers, offscreen: the first
// painted frame, the slowest frame while scrolling page by page, the longest stall of the event loop
// during a forced refresh (from a local site), a status check of every server and a filter, and the
// resident memory with that catalogue loaded and the list shown.
// With --png DIR it instead draws a small catalogue, light and dark, into DIR.
#include "app/catalogue/cataloguefiltermodel.h"
#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/tunnel/vpnmanager.h"
#include "app/updates/updatechecker.h"
#include "benchtunnelplatform.h"
#include "core/foundation/defaultsstore.h"
#include "httpserver.h"
#include "ui/servers/serverdetailsscreen.h"
#include "ui/servers/serverrowdelegate.h"
#include "ui/servers/serverslistview.h"
#include "ui/servers/serversscreen.h"
#include "ui/tray/trayicon.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <malloc.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int subscriptionCount = 50;
constexpr int serversPerSubscription = 1000;

QByteArray subscriptionBody(int subscription, int generation)
{
    QByteArray body;
    for (int i = 0; i < serversPerSubscription; ++i) {
        const QByteArray host = "node" + QByteArray::number(subscription * serversPerSubscription + i) + ".example.net";
        const QByteArray name = QByteArray(i % 2 == 0 ? "US%20" : "DE%20") + QByteArray::number(i) + "%20g"
            + QByteArray::number(generation);
        if (i % 2 == 0)
            body += "ss://aes-256-gcm:secret" + QByteArray::number(i) + "@" + host + ":8388#" + name + "\n";
        else
            body += "vless://5f1b2c3d-1b2c-4d3e-8f90-00000000" + QByteArray::number(1000 + i) + "@" + host
                + ":443?encryption=none&security=reality&sni=www.example.com&fp=chrome&pbk=abcdEFGH1234&sid=6ba8&type="
                  "tcp#"
                + name + "\n";
    }
    return body;
}

// The longest gap between two ticks of a 1 ms timer, less the 1 ms it is meant to wait.
class StallProbe {
public:
    StallProbe()
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer,
            [this] { m_longest = std::max(m_longest, m_sinceTick.restart() - 1); });
        m_sinceTick.start();
        m_timer.start();
    }
    qint64 longestMs() const { return std::max<qint64>(m_longest, m_sinceTick.elapsed() - 1); }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

// Counts the paints of a widget, so a frame can be waited for.
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

// Runs the event loop until the widget has been painted once more; the paint has finished then.
void waitForFrame(const PaintCounter &counter, int before)
{
    QElapsedTimer limit;
    limit.start();
    while (counter.paints == before && limit.elapsed() < 5000)
        QCoreApplication::processEvents();
}

void settle(std::chrono::milliseconds time = 100ms)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Done> void runUntil(Done done)
{
    QElapsedTimer limit;
    limit.start();
    while (!done() && limit.elapsed() < 120000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
}

long residentKiB()
{
    // Heap that was freed counts only while the allocator keeps it; hand it back first.
    malloc_trim(0);
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void print(const char *what, qint64 ms, const char *unit = "ms")
{
    std::printf("  %-58s %7lld %s\n", what, static_cast<long long>(ms), unit);
}

QPalette darkPalette()
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(45, 45, 48));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    dark.setColor(QPalette::Base, QColor(30, 30, 32));
    dark.setColor(QPalette::AlternateBase, QColor(40, 40, 44));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Button, QColor(55, 55, 58));
    dark.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(10, 95, 200));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(150, 150, 155));
    dark.setColor(QPalette::Link, QColor(80, 160, 255));
    dark.setColor(QPalette::Mid, QColor(70, 70, 74));
    return dark;
}

// Three groups with each status mark, the selected server, a failed refresh and a hovered row.
int renderPictures(const QString &directory)
{
    QTemporaryDir dir;
    DefaultsStore store(dir.path());
    GroupCollection groups(store);
    InstantTunnelPlatform platform;
    VPNManager vpn(platform, [] { return AppSettings {}; });
    SubscriptionLoader loader;

    const auto server = [](const QString &name, ServerSettings settings, OnlineStatus status, bool busy = false) {
        auto made = std::make_shared<Server>(name, std::move(settings), true);
        made->setStatus(status);
        made->setInProgress(busy);
        return made;
    };
    const ShadowsockSettings ss { u"fra.example.net"_s, 8388, ShadowsocksCipher::aes256Gcm, u"secret"_s };
    VLESSSettings vless;
    vless.address = u"ams.example.net"_s;
    vless.port = 443;
    vless.security = u"reality"_s;
    vless.flow = u"xtls-rprx-vision"_s;
    VMessSettings vmess;
    vmess.address = u"tokyo.example.net"_s;
    vmess.port = 10086;
    auto provider = std::make_shared<ServerGroup>(SubscriptionType { u"Northwind Proxies"_s, u"https://a.example"_s },
        QList<ServerPtr> { server(u"Frankfurt 1"_s, ss, OnlineStatus::online),
            server(u"Amsterdam Reality"_s, vless, OnlineStatus::offline),
            server(u"Tokyo"_s, vmess, OnlineStatus::unknown),
            server(u"Checking now"_s, ss, OnlineStatus::unknown, true) });
    auto unnamed = std::make_shared<ServerGroup>(SubscriptionType { QString(), u"https://b.example"_s },
        QList<ServerPtr> {
            server(u"A server with a name long enough to be cut short at the end"_s, vless, OnlineStatus::online) });
    groups.addSubscription(provider);
    groups.addSubscription(unnamed);
    auto mine = std::make_shared<Server>(u"Home"_s, ss, false);
    mine->setStatus(OnlineStatus::online);
    groups.addServer(mine);
    groups.setSelectedServer(provider->servers().first());

    for (const bool dark : { false, true }) {
        QApplication::setPalette(dark ? darkPalette() : QApplication::style()->standardPalette());
        ScreenStack stack;
        auto *screen = new ServersScreen(groups, vpn, loader);
        stack.setRoot(screen);
        stack.resize(420, 570);
        stack.show();
        screen->list()->rowDelegate()->setFailedGroups({ unnamed->id() });
        screen->list()->selectionModel()->select(
            screen->list()->model()->index(1, 0, screen->list()->model()->index(0, 0)),
            QItemSelectionModel::Select | QItemSelectionModel::Rows);
        settle(200ms);
        // The pointer over Tokyo's row, on its info button.
        const QModelIndex tokyo = screen->list()->model()->index(2, 0, screen->list()->model()->index(0, 0));
        const QRect row = screen->list()->visualRect(tokyo);
        QMouseEvent move(QEvent::MouseMove, QPointF(row.right() - 15, row.center().y()), QPointF(), Qt::NoButton,
            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(screen->list()->viewport(), &move);
        settle(200ms);
        const QString name = dark ? u"servers-list-dark.png"_s : u"servers-list-light.png"_s;
        if (!stack.grab().save(directory + u'/' + name))
            return 1;

        stack.push(new ServerDetailsScreen(provider->servers().at(1), vpn));
        settle(200ms);
        stack.grab().save(directory + (dark ? u"/server-details-dark.png"_s : u"/server-details-light.png"_s));
    }
    std::printf("pictures in %s\n", qPrintable(directory));
    return 0;
}

struct Figures {
    qint64 totalMs = 0;
    qint64 stallMs = 0;
};

// Fresh copies of every group merged as a refresh merges them (one group per turn of the event loop);
// with a counter, until the list has painted.
Figures mergeEveryGroup(GroupCollection &groups, const PaintCounter *frames)
{
    QList<std::pair<QUuid, ServerGroupPtr>> replacements;
    for (const ServerGroupPtr &group : groups.subscriptions()) {
        QList<ServerPtr> copies;
        copies.reserve(group->servers().size());
        for (const ServerPtr &server : group->servers())
            copies.append(std::make_shared<Server>(server->originalName(), server->settings(), true));
        replacements.append({ group->id(), std::make_shared<ServerGroup>(group->type(), copies) });
    }
    StallProbe probe;
    const int before = frames ? frames->paints : 0;
    QElapsedTimer total;
    total.start();
    QCoro::waitFor(groups.replaceSubscriptions(replacements));
    Figures figures { total.elapsed(), 0 };
    if (frames)
        waitForFrame(*frames, before);
    replacements.clear();
    settle();
    figures.stallMs = probe.longestMs();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (const qsizetype png = arguments.indexOf(u"--png"_s); png >= 0 && png + 1 < arguments.size())
        return renderPictures(arguments.at(png + 1));

    QTemporaryDir dir;
    DefaultsStore store(dir.path());
    GroupCollection groups(store);
    TestHttpServer site;
    if (!site.start())
        return 1;
    for (int i = 0; i < subscriptionCount; ++i)
        site.route("/" + QByteArray::number(i), subscriptionBody(i, 1));
    InstantTunnelPlatform platform;
    VPNManager vpn(platform, [] { return AppSettings {}; });
    QCoro::waitFor(vpn.loadManager());
    SubscriptionLoader loader([&vpn](QUrl url) { return vpn.fetchThroughActiveTunnel(std::move(url)); });
    for (int i = 0; i < subscriptionCount; ++i) {
        groups.addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"Provider %1"_s.arg(i), site.url(u"/%1"_s.arg(i)).toString(), true },
            QList<ServerPtr> {}));
    }
    QCoro::waitFor(updateSubscriptions(groups, true, loader));
    groups.selectDefaultServer();
    groups.save();
    store.waitForPendingWrites();
    std::printf("%d subscriptions x %d servers (%d loaded), window 420 x 570, offscreen\n", subscriptionCount,
        serversPerSubscription, int(groups.allServers().size()));
    // The catalogue's own share of a refresh's merge, before any list is there.
    const Figures bare = mergeEveryGroup(groups, nullptr);
    store.waitForPendingWrites();
    print("resident memory, catalogue loaded, no list", residentKiB() / 1024, "MB");

    ScreenStack stack;
    QElapsedTimer timer;
    timer.start();
    auto *screen = new ServersScreen(groups, vpn, loader);
    stack.setRoot(screen);
    stack.resize(420, 570);
    PaintCounter frames(screen->list()->viewport());
    stack.show();
    waitForFrame(frames, 0);
    print("first painted frame of the list", timer.elapsed());
    settle();
    print("resident memory, list shown", residentKiB() / 1024, "MB");

    {
        QScrollBar *bar = screen->list()->verticalScrollBar();
        bar->setValue(0);
        settle();
        qint64 slowest = 0;
        qint64 total = 0;
        int pages = 0;
        while (bar->value() < bar->maximum()) {
            const int before = frames.paints;
            QElapsedTimer frame;
            frame.start();
            bar->setValue(bar->value() + bar->pageStep());
            waitForFrame(frames, before);
            const qint64 took = frame.elapsed();
            slowest = std::max(slowest, took);
            total += took;
            ++pages;
        }
        std::printf("  scrolled %d pages top to bottom\n", pages);
        print("slowest frame while scrolling", slowest);
        print("average frame while scrolling, in microseconds", pages ? total * 1000 / pages : 0, "us");
        bar->setValue(0);
        settle();
    }

    {
        // The merge alone, as a refresh's last step does it, with the list's share told apart.
        const Figures shown = mergeEveryGroup(groups, &frames);
        print("merging fresh copies of every group, no list: longest stall", bare.stallMs);
        print("merging fresh copies of every group, list shown: longest stall", shown.stallMs);
        print("  the merge from start to end", shown.totalMs);
    }

    {
        for (int i = 0; i < subscriptionCount; ++i)
            site.route("/" + QByteArray::number(i), subscriptionBody(i, 2));
        StallProbe probe;
        QElapsedTimer total;
        total.start();
        screen->updateAllSubscriptions();
        runUntil([&] { return screen->currentOperation() == ServersScreen::CurrentOperation::none; });
        const qint64 took = total.elapsed();
        settle();
        print("forced refresh of every group (local site): total", took);
        print("forced refresh: longest stall", probe.longestMs());
        std::printf(
            "  refresh errors: %lld\n", static_cast<long long>(screen->subscriptionUpdateErrors().errors.size()));
    }

    {
        const QList<ServerPtr> servers = groups.allServers();
        StallProbe probe;
        QElapsedTimer total;
        total.start();
        screen->checkStatuses(servers);
        runUntil([&] {
            return screen->currentOperation() == ServersScreen::CurrentOperation::none
                && std::none_of(servers.cbegin(), servers.cend(), [](const ServerPtr &s) { return s->inProgress(); });
        });
        const qint64 took = total.elapsed();
        settle();
        const auto online = std::count_if(servers.cbegin(), servers.cend(),
            [](const ServerPtr &server) { return server->status() == OnlineStatus::online; });
        print("status check of every server: total", took);
        print("status check: longest stall", probe.longestMs());
        std::printf(
            "  %lld of %lld answered online\n", static_cast<long long>(online), static_cast<long long>(servers.size()));
    }

    {
        // The filter model alone, without a view: the text set and every group's rows mapped. The
        // first word comes before the model had turns of the event loop to prepare its texts.
        CatalogueItemModel catalogue(groups);
        CatalogueFilterModel filter(catalogue);
        for (const QString &word : { u"DE 43"_s, u"vless"_s, u"zzz"_s, QString() }) {
            if (word != u"DE 43"_s)
                settle();
            QElapsedTimer took;
            took.start();
            filter.setFilterText(word);
            int rows = 0;
            for (int group = 0; group < filter.rowCount(); ++group)
                rows += filter.rowCount(filter.index(group, 0));
            const QByteArray what = "filter model alone, \"" + word.toUtf8() + "\" (" + QByteArray::number(rows)
                + (word == u"DE 43"_s ? " rows, unprepared)" : " rows)");
            print(what.constData(), took.elapsed());
        }
    }

    {
        // A word that keeps a few hundred rows, then one that keeps half, then clearing.
        for (const QString &word : { u"DE 43"_s, u"vless"_s, u"zzz"_s, QString() }) {
            StallProbe probe;
            const int before = frames.paints;
            QElapsedTimer frame;
            frame.start();
            screen->filterField()->setText(word);
            waitForFrame(frames, before);
            const qint64 took = frame.elapsed();
            settle();
            const QByteArray what = word.isEmpty() ? QByteArray("clearing the filter: to the painted frame")
                                                   : "filter \"" + word.toUtf8() + "\": to the painted frame";
            print(what.constData(), took);
            print("  longest stall meanwhile", probe.longestMs());
        }
    }

    print("resident memory at the end (after refreshes and checks)", residentKiB() / 1024, "MB");
    {
        // The tray's Servers submenu, built as it opens: the top level, then a group and the first
        // part of it, each to its first painted frame.
        UpdateChecker updates(QUrl(), QStringLiteral("1.0"));
        TrayIcon tray(vpn, groups, updates, {});
        const auto open = [](QMenu *menu, QPoint at, const char *what) {
            PaintCounter painted(menu);
            StallProbe probe;
            QElapsedTimer took;
            took.start();
            menu->popup(at);
            waitForFrame(painted, 0);
            const qint64 ms = took.elapsed();
            settle();
            print(what, ms);
            print("  longest stall meanwhile", probe.longestMs());
            std::printf("  %lld items\n", static_cast<long long>(menu->actions().size()));
        };
        open(tray.serversMenu(), QPoint(0, 0), "tray Servers submenu: to the painted frame");
        QMenu *group = nullptr;
        for (QAction *action : tray.serversMenu()->actions()) {
            if (!group && action->menu())
                group = action->menu();
        }
        if (group) {
            open(group, QPoint(200, 0), "  a group's submenu: to the painted frame");
            for (QAction *action : group->actions()) {
                if (QMenu *part = action->menu()) {
                    open(part, QPoint(400, 0), "  its first part: to the painted frame");
                    part->hide();
                    break;
                }
            }
            group->hide();
        }
        tray.serversMenu()->hide();
    }
    return 0;
}
