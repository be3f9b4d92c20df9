// Prints what the servers list's model costs over 50,000 servers: building it, a refresh that
// replaces all 50 subscriptions, and 5,000 status answers through the real status-check path; for
// each the total time and the longest the event loop went without running.
#include "app/catalogue/catalogueitemmodel.h"
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/tunnel/vpnmanager.h"
#include "benchtunnelplatform.h"
#include "core/foundation/defaultsstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int subscriptionCount = 50;
constexpr int serversPerSubscription = 1000;
constexpr int checkedServers = 5000;
constexpr int rounds = 3;

ServerGroupPtr subscription(int index)
{
    QList<ServerPtr> servers;
    servers.reserve(serversPerSubscription);
    for (int i = 0; i < serversPerSubscription; ++i) {
        const QString host = u"node%1.example.net"_s.arg(index * serversPerSubscription + i);
        servers.append(std::make_shared<Server>(
            u"Node %1"_s.arg(i), ShadowsockSettings { host, 8388, ShadowsocksCipher::aes256Gcm, u"secret"_s }, true));
    }
    return std::make_shared<ServerGroup>(
        SubscriptionType { u"Provider %1"_s.arg(index), u"https://provider%1.example"_s.arg(index), true }, servers);
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

// Lets the event loop run for a while, so deferred work shows up in the probe.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(100ms, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Figures {
    qint64 totalMs = 0;
    qint64 stallMs = 0;
};

struct Round {
    Figures build, refresh, refreshBare, status;
    int statusSignals = 0;
    int statusRows = 0;
};

template <typename Work> Figures measure(Work work)
{
    StallProbe probe;
    QElapsedTimer timer;
    timer.start();
    work();
    Figures figures { timer.elapsed(), 0 };
    settle();
    figures.stallMs = probe.longestMs();
    return figures;
}

// The same refresh with and without a model attached, to tell the model's share.
Figures refresh(DefaultsStore &store, GroupCollection &groups)
{
    QList<std::pair<QUuid, ServerGroupPtr>> replacements;
    for (int i = 0; i < subscriptionCount; ++i)
        replacements.append({ groups.subscriptions().at(i)->id(), subscription(i) });
    const Figures figures = measure([&] { QCoro::waitFor(groups.replaceSubscriptions(replacements)); });
    store.waitForPendingWrites();
    return figures;
}

Round runRound(DefaultsStore &store, VPNManager &vpn)
{
    Round round;
    GroupCollection groups(store);
    for (int i = 0; i < subscriptionCount; ++i)
        groups.addSubscription(subscription(i));
    store.waitForPendingWrites();

    round.refreshBare = refresh(store, groups);
    std::optional<CatalogueItemModel> model;
    round.build = measure([&] { model.emplace(groups); });
    round.refresh = refresh(store, groups);

    QObject::connect(
        &*model, &QAbstractItemModel::dataChanged, &*model, [&round](const QModelIndex &from, const QModelIndex &to) {
            ++round.statusSignals;
            round.statusRows += to.row() - from.row() + 1;
        });
    const QList<ServerPtr> servers = groups.allServers().mid(0, checkedServers);
    round.status = measure([&] { QCoro::waitFor(checkStatuses(servers, vpn)); });
    const auto online = std::count_if(servers.cbegin(), servers.cend(),
        [](const ServerPtr &server) { return server->status() == OnlineStatus::online; });
    if (online != checkedServers)
        std::printf("only %lld of %d servers answered online\n", static_cast<long long>(online), checkedServers);

    return round;
}

void print(const char *what, const Figures &figures)
{
    std::printf("  %-44s %7lld ms total, longest stall %5lld ms\n", what, static_cast<long long>(figures.totalMs),
        static_cast<long long>(figures.stallMs));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    DefaultsStore store(dir.path());
    InstantTunnelPlatform platform;
    VPNManager vpn(platform, [] { return AppSettings {}; });
    QCoro::waitFor(vpn.loadManager());

    std::printf("%d subscriptions x %d servers, %d status answers\n", subscriptionCount, serversPerSubscription,
        checkedServers);
    for (int i = 0; i < rounds; ++i) {
        const Round round = runRound(store, vpn);
        std::printf("round %d\n", i + 1);
        print("model built over the catalogue", round.build);
        print("refresh of all subscriptions, no model", round.refreshBare);
        print("refresh of all subscriptions, with model", round.refresh);
        print("status answers through the tunnel path", round.status);
        std::printf("  dataChanged emitted for the status answers: %d, covering %d rows\n", round.statusSignals,
            round.statusRows);
    }
    return 0;
}
