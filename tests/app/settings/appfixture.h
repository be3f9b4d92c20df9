#pragma once

#include "app/application/wrenlowapp.h"
#include "app/settings/vpnactions.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"

#include <QTemporaryDir>
#include <QTest>

#include <chrono>

// An application model over a store in a temporary directory and the fake tunnel layer, with a
// scheduler that gathers for a few milliseconds, and a record of what reached the tunnel.
struct AppFixture {
    // What the tunnel received, in order, with the settings it was given.
    struct Operation {
        QString name;
        NetworkSettings network;
        AppSettings settings;
    };

    explicit AppFixture(VPNStatus status = VPNStatus::connected, bool withSelection = true)
    {
        profile = platform.addSavedProfile(status);
        app = std::make_unique<WrenlowApp>(store, platform);
        QCoro::waitFor(app->vpn().loadManager());
        if (withSelection)
            app->groups().addServer(makeTestServer(QStringLiteral("Tokyo")));
        scheduler = std::make_unique<SettingsActionScheduler>(*app, app->groups(), app->vpn());
        scheduler->setGatheringDelay(std::chrono::milliseconds(20));
    }

    FakeTunnelConnection &connection() { return profile->fakeConnection; }

    // Lets every flush under way finish, answering the tunnel's messages with success.
    QList<Operation> finishFlush()
    {
        const auto answerAll = [this] {
            for (qsizetype i = answered; i < connection().messages.size(); ++i)
                connection().answer(i, encodeTunnelRequestResult(TunnelResults::Success {}));
            answered = connection().messages.size();
        };
        [&] { QTRY_VERIFY((answerAll(), !scheduler->isFlushScheduled())); }();
        return operations();
    }

    // Everything the tunnel got so far: messages, and restarts through the saved profile.
    QList<Operation> operations() const
    {
        QList<Operation> result;
        for (const auto &message : profile->fakeConnection.messages) {
            const TunnelRequest request = decodeTunnelRequest(message.bytes);
            if (const auto *change = std::get_if<TunnelRequests::Change>(&request))
                result.append({ QStringLiteral("changeServer"), change->backendSettings.appSettings.network,
                    change->backendSettings.appSettings });
            else if (const auto *network = std::get_if<TunnelRequests::ChangeNetworkSettings>(&request))
                result.append({ QStringLiteral("changeNetworkSettings"), network->network, {} });
        }
        for (int i = 0; i < profile->fakeConnection.stops; ++i) {
            const ProviderConfiguration &provider = platform.saves.last().protocolConfiguration->providerConfiguration;
            NetworkSettings network { provider.isTransparentProxy, provider.isHTTPProxy, provider.isSystemProxy,
                provider.httpProxyPort };
            result.append({ QStringLiteral("restartTunnel"), network, {} });
        }
        return result;
    }

    QStringList operationNames() const
    {
        QStringList names;
        for (const Operation &operation : operations())
            names.append(operation.name);
        return names;
    }

    QTemporaryDir dir;
    DefaultsStore store { dir.path() };
    FakeTunnelPlatform platform;
    std::shared_ptr<FakeTunnelProfile> profile;
    std::unique_ptr<WrenlowApp> app;
    std::unique_ptr<SettingsActionScheduler> scheduler;
    qsizetype answered = 0;
};
