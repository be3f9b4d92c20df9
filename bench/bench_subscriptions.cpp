// Prints how long a forced refresh of 20 large subscriptions and a batch status check of 5,000
// servers take, and the longest the event loop went without running meanwhile.
#include "app/catalogue/groupcollection.h"
#include "app/catalogue/statuschecks.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/catalogue/subscriptionrefresh.h"
#include "app/tunnel/vpnmanager.h"
#include "benchtunnelplatform.h"
#include "core/foundation/defaultsstore.h"
#include "httpserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

constexpr int subscriptionCount = 20;
constexpr int serversPerSubscription = 1000;
constexpr int checkedServers = 5000;

QByteArray subscriptionBody(int subscription)
{
    QByteArray body;
    for (int i = 0; i < serversPerSubscription; ++i) {
        const QByteArray host = "node" + QByteArray::number(subscription * serversPerSubscription + i) + ".example.net";
        if (i % 2 == 0)
            body += "ss://aes-256-gcm:secret" + QByteArray::number(i) + "@" + host + ":8388#US%20"
                + QByteArray::number(i) + "\n";
        else
            body += "vless://5f1b2c3d-1b2c-4d3e-8f90-00000000" + QByteArray::number(1000 + i) + "@" + host
                + ":443?encryption=none&security=reality&sni=www.example.com&fp=chrome&pbk=abcdEFGH1234&sid=6ba8&type="
                  "tcp#DE%20"
                + QByteArray::number(i) + "\n";
    }
    return body;
}

// The longest gap between two ticks of a 5 ms timer, less the 5 ms it is meant to wait.
class StallProbe {
public:
    StallProbe()
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer,
            [this] { m_longest = std::max(m_longest, m_sinceTick.restart() - 5); });
        m_sinceTick.start();
        m_timer.start();
    }
    qint64 longestMs() const { return std::max<qint64>(m_longest, m_sinceTick.elapsed() - 5); }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    qint64 m_longest = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    DefaultsStore store(dir.path());
    GroupCollection groups(store);
    // Serves /<n> with subscription n.
    TestHttpServer server;
    if (!server.start())
        return 1;
    for (int i = 0; i < subscriptionCount; ++i)
        server.route("/" + QByteArray::number(i), subscriptionBody(i));
    InstantTunnelPlatform platform;
    VPNManager vpn(platform, [] { return AppSettings {}; });
    QCoro::waitFor(vpn.loadManager());
    SubscriptionLoader loader([&vpn](QUrl url) { return vpn.fetchThroughActiveTunnel(std::move(url)); });

    for (int i = 0; i < subscriptionCount; ++i) {
        const QString url = u"http://127.0.0.1:%1/%2"_s.arg(server.port()).arg(i);
        groups.addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"Provider %1"_s.arg(i), url, true }, QList<ServerPtr> {}));
    }

    // First into empty groups, then again over full ones, where the user's names are carried over.
    for (const char *pass : { "first load", "refresh" }) {
        StallProbe probe;
        QElapsedTimer timer;
        timer.start();
        const SubscriptionUpdateResults results = QCoro::waitFor(updateSubscriptions(groups, true, loader));
        const qint64 total = timer.elapsed();
        std::printf(
            "%s of %d subscriptions x %d servers: %lld ms total, longest stall %lld ms, %d servers, %lld errors\n",
            pass, subscriptionCount, serversPerSubscription, static_cast<long long>(total),
            static_cast<long long>(probe.longestMs()), int(groups.allServers().size()),
            static_cast<long long>(results.errors.size()));
    }

    {
        const QList<ServerPtr> servers = groups.allServers().mid(0, checkedServers);
        StallProbe probe;
        QElapsedTimer timer;
        timer.start();
        QCoro::waitFor(checkStatuses(servers, vpn));
        const qint64 total = timer.elapsed();
        const auto online = std::count_if(servers.cbegin(), servers.cend(),
            [](const ServerPtr &server) { return server->status() == OnlineStatus::online; });
        std::printf("status check of %d servers: %lld ms total, longest stall %lld ms, %lld online\n",
            int(servers.size()), static_cast<long long>(total), static_cast<long long>(probe.longestMs()),
            static_cast<long long>(online));
    }
    return 0;
}
