// Prints how fast subscriptions parse and how fast the catalogue is stored and read back.
#include "app/catalogue/groupcollection.h"
#include "core/catalogue/proxyuriparser.h"
#include "core/foundation/defaultsstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace {

constexpr int subscriptionLines = 100000;
constexpr int groupCount = 20;
constexpr int serversPerGroup = 1000;
constexpr int rounds = 5;

QString uuidFor(int i)
{
    return QStringLiteral("%1-1b2c-4d3e-8f90-%2")
        .arg(i, 8, 16, QLatin1Char('0'))
        .arg(i * 7919, 12, 16, QLatin1Char('0'));
}

// One line of a typical provider's subscription; the five kinds rotate.
QString uriLine(int i)
{
    const QString host = QStringLiteral("node%1.example.net").arg(i);
    const QString name = QStringLiteral("%F0%9F%87%BA%F0%9F%87%B8 US %1 | 1x").arg(i);
    switch (i % 5) {
    case 0:
        return QStringLiteral("ss://chacha20-ietf-poly1305:secret%1@%2:8388#%3").arg(i).arg(host, name);
    case 1: {
        const QByteArray user = QStringLiteral("aes-256-gcm:pw%1")
                                    .arg(i)
                                    .toUtf8()
                                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
        return QStringLiteral("ss://%1@%2:443#%3").arg(QString::fromLatin1(user), host, name);
    }
    case 2: {
        const QByteArray legacy = QStringLiteral("aes-128-gcm:pw%1@%2:8389").arg(i).arg(host).toUtf8().toBase64();
        return QStringLiteral("ss://%1#%2").arg(QString::fromLatin1(legacy), name);
    }
    case 3: {
        const QJsonObject record { { QStringLiteral("v"), QStringLiteral("2") },
            { QStringLiteral("ps"), QStringLiteral("VMess %1").arg(i) }, { QStringLiteral("add"), host },
            { QStringLiteral("port"), QStringLiteral("443") }, { QStringLiteral("id"), uuidFor(i) },
            { QStringLiteral("aid"), QStringLiteral("0") }, { QStringLiteral("net"), QStringLiteral("tcp") },
            { QStringLiteral("type"), QStringLiteral("none") }, { QStringLiteral("tls"), QStringLiteral("tls") } };
        return QStringLiteral("vmess://")
            + QString::fromLatin1(QJsonDocument(record).toJson(QJsonDocument::Compact).toBase64());
    }
    default:
        return QStringLiteral("vless://"
                              "%1@%2:443?encryption=none&security=reality&sni=www.example.com&fp=chrome&pbk="
                              "abcdEFGH1234&sid=6ba8&type=tcp&flow=xtls-rprx-vision#%3")
            .arg(uuidFor(i), host, name);
    }
}

double bestOf(const std::function<void()> &work)
{
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, double(timer.nsecsElapsed()) / 1e6);
    }
    return best;
}

long peakRssMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

void benchParsing()
{
    QStringList lines;
    lines.reserve(subscriptionLines);
    for (int i = 0; i < subscriptionLines; ++i)
        lines.append(uriLine(i));
    const QString plain = lines.join(u'\n') + u'\n';
    const QString wrapped = QString::fromLatin1(plain.toUtf8().toBase64());

    for (const auto &[label, body] : { std::pair { "plain", &plain }, std::pair { "base64", &wrapped } }) {
        qsizetype count = 0;
        const double ms = bestOf([&] { count = parseSubscriptionBody(*body).size(); });
        const double mb = double(body->toUtf8().size()) / 1e6;
        std::printf(
            "parseSubscriptionBody %-6s  %d lines, %.1f MB: %8.1f ms  %7.1f MB/s  %9.0f servers/s  (%lld servers)\n",
            label, subscriptionLines, mb, ms, mb / (ms / 1e3), double(count) / (ms / 1e3),
            static_cast<long long>(count));
    }
}

void benchStorage()
{
    QTemporaryDir dir;
    DefaultsStore store(dir.path());
    {
        GroupCollection groups(store);
        for (int g = 0; g < groupCount; ++g) {
            QList<ServerPtr> servers;
            for (int s = 0; s < serversPerGroup; ++s)
                servers.append(parseProxyURI(uriLine(g * serversPerGroup + s)));
            groups.addSubscription(
                std::make_shared<ServerGroup>(SubscriptionType { QStringLiteral("Provider %1").arg(g),
                                                  QStringLiteral("https://example.net/sub/%1").arg(g), true },
                    servers));
        }
        const double saveMs = bestOf([&] {
            groups.save();
            store.waitForPendingWrites();
        });
        const double mb = double(store.data(QStringLiteral("groups"))->size()) / 1e6;
        const int total = groupCount * serversPerGroup;
        std::printf("GroupCollection::save (to disk)  %d servers, %.1f MB: %8.1f ms  %9.0f servers/s\n", total, mb,
            saveMs, total / (saveMs / 1e3));
        qsizetype loaded = 0;
        const double loadMs = bestOf([&] { loaded = GroupCollection::load(store)->allServers().size(); });
        std::printf("GroupCollection::load  %lld servers, %.1f MB: %8.1f ms  %9.0f servers/s\n",
            static_cast<long long>(loaded), mb, loadMs, loaded / (loadMs / 1e3));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::printf("best of %d rounds each\n", rounds);
    benchParsing();
    benchStorage();
    std::printf("peak RSS: %ld MiB\n", peakRssMiB());
    return 0;
}
