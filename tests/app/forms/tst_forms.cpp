#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/forms/serveraddeditviewmodel.h"
#include "app/forms/subscriptionviewmodel.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Protocol = ServerAddEditViewModel::ProtocolName;

// A table column of its own: the meta-type system cannot hold std::optional of a variant.
struct OptionalSettings {
    OptionalSettings() = default;
    OptionalSettings(ServerSettings settings)
        : value(std::move(settings))
    {
    }
    std::optional<ServerSettings> value;
};

Q_DECLARE_METATYPE(OptionalSettings)

namespace {

const ShadowsockSettings chacha { u"10.0.0.2"_s, 443, ShadowsocksCipher::chacha20Poly1305, u"secret"_s };
const VMessSettings vmess { u"v.example"_s, 8443, u"uid-1"_s, true, u"5"_s, u"aes-128-gcm"_s };
const VLESSSettings vless { u"l.example"_s, 443, u"uid-2"_s, u"xtls-rprx-vision"_s, u"none"_s, u"reality"_s,
    u"sni.example"_s, u"chrome"_s, u"pk"_s, u"sid"_s, u"/"_s };

OptionalSettings ss(qint64 port, const QString &address = u"10.0.0.1"_s)
{
    return ServerSettings(ShadowsockSettings { address, port, ShadowsocksCipher::aes256Gcm, u"pw"_s });
}

const QString twoServers = u"ss://aes-128-gcm:pw@a.example:8388#Alpha\nss://aes-128-gcm:pw@b.example:8388#Beta\n"_s;

ServerGroupPtr makeSubscription(const QString &url, const QStringList &originalNames)
{
    QList<ServerPtr> servers;
    for (const auto &name : originalNames)
        servers.append(makeTestServer(name));
    return std::make_shared<ServerGroup>(SubscriptionType { u"Old"_s, url, true }, servers);
}

QStringList names(const QList<ServerPtr> &servers)
{
    QStringList result;
    for (const auto &server : servers)
        result.append(server->name());
    return result;
}

} // namespace

// The server and subscription forms: what they accept, and what Done leaves in the stored catalogue.
class FormsTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;
    FakeTunnelPlatform m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    std::unique_ptr<SubscriptionLoader> m_loader;
    // The subscription provider; answers at /sub.
    std::unique_ptr<TestHttpServer> m_provider;

    QString providerUrl() const { return m_provider->url(u"/sub"_s).toString(); }

    // A catalogue as the program would read it back at the next start.
    std::unique_ptr<GroupCollection> reloaded() const { return GroupCollection::load(*m_store); }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_groups = std::make_unique<GroupCollection>(*m_store);
        m_loader.reset();
        m_vpn = std::make_unique<VPNManager>(m_platform, [] { return AppSettings(); });
        m_loader = std::make_unique<SubscriptionLoader>(
            [vpn = m_vpn.get()](QUrl url) { return vpn->fetchThroughActiveTunnel(std::move(url)); });
        m_provider = std::make_unique<TestHttpServer>();
        QVERIFY(m_provider->start());
    }

    // Done is enabled exactly when the fields make a server; a pasted host loses its blanks.
    void builtSettings_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("withVlessRecord");
        QTest::addColumn<OptionalSettings>("expected");
        const OptionalSettings none;
        const auto add = [](const char *tag, Protocol protocol, const QString &name, const QString &port,
                             const QString &secret, const OptionalSettings &expected,
                             const QString &address = u"10.0.0.1"_s, bool withVlessRecord = false) {
            QTest::newRow(tag) << protocol << name << address << port << secret << withVlessRecord << expected;
        };
        const auto s = Protocol::shadowsocks;
        add("shadowsocks", s, u"a"_s, u"8388"_s, u"pw"_s, ss(8388));
        add("plus sign", s, u"a"_s, u"+443"_s, u"pw"_s, ss(443));
        add("beyond 65535", s, u"a"_s, u"70000"_s, u"pw"_s, ss(70000));
        add("leading blank", s, u"a"_s, u" 443"_s, u"pw"_s, none);
        add("trailing letter", s, u"a"_s, u"443a"_s, u"pw"_s, none);
        add("non-ASCII digits", s, u"a"_s, u"\u0664\u0664\u0663"_s, u"pw"_s, none);
        add("too large for a number", s, u"a"_s, u"99999999999999999999"_s, u"pw"_s, none);
        add("no name", s, QString(), u"8388"_s, u"pw"_s, none);
        add("no password", s, u"a"_s, u"8388"_s, QString(), none);
        add("blanks around address", s, u"a"_s, u"443"_s, u"pw"_s, ss(443, u"h.example"_s), u" h.example\t"_s);
        add("blank address", s, u"a"_s, u"443"_s, u"pw"_s, none, u"  "_s);
        // What the form builds: no alter id, security "auto".
        add("vmess", Protocol::vmess, u"a"_s, u"8388"_s, u"uid"_s,
            ServerSettings(VMessSettings { u"10.0.0.1"_s, 8388, u"uid"_s, true, {}, u"auto"_s }), u"10.0.0.1\n"_s);
        add("vmess without id", Protocol::vmess, u"a"_s, u"8388"_s, QString(), none);
        add("vless typed in", Protocol::vless, u"a"_s, u"8388"_s, u"pw"_s, none);
        // The record keeps its own host and port whatever the fields say.
        add("vless record", Protocol::vless, u"a"_s, u"8388"_s, QString(), ServerSettings(vless), u"x"_s, true);
        add("vless record, bad port", Protocol::vless, u"a"_s, u"x"_s, QString(), none, u"x"_s, true);
    }

    void builtSettings()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, secret);
        QFETCH(bool, withVlessRecord);
        QFETCH(OptionalSettings, expected);
        ServerAddEditViewModel form;
        QSignalSpy canSaveSpy(&form, &ServerAddEditViewModel::canSaveChanged);
        form.setName(name);
        form.setProtocolName(protocol);
        form.setAddress(address);
        form.setPort(port);
        if (protocol == Protocol::vmess) {
            form.setVmessUserId(secret);
            form.setVmessUseTls(true);
        } else {
            form.setShadowsocksPassword(secret);
        }
        if (withVlessRecord)
            form.setVlessSettings(vless);
        QVERIFY(form.builtSettings() == expected.value);
        QCOMPARE(form.canSave(), expected.value.has_value());
        QCOMPARE(canSaveSpy.count(), expected.value ? 1 : 0);
    }

    void formFromServer_data()
    {
        QTest::addColumn<bool>("isTemplate");
        QTest::addColumn<ServerSettings>("settings");
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("port");
        QTest::addColumn<ServerSettings>("built");
        QTest::newRow("edit shadowsocks")
            << false << ServerSettings(chacha) << Protocol::shadowsocks << u"443"_s << ServerSettings(chacha);
        // The form has no fields for the alter id and security; Done writes the form's own values.
        QTest::newRow("edit vmess") << false << ServerSettings(vmess) << Protocol::vmess << u"8443"_s
                                    << ServerSettings(VMessSettings {
                                           vmess.address, vmess.port, vmess.userId, true, {}, u"auto"_s });
        QTest::newRow("template vless") << true << ServerSettings(vless) << Protocol::vless << u"443"_s
                                        << ServerSettings(vless);
    }

    void formFromServer()
    {
        QFETCH(bool, isTemplate);
        QFETCH(ServerSettings, settings);
        QFETCH(Protocol, protocol);
        QFETCH(QString, port);
        QFETCH(ServerSettings, built);
        const auto server = std::make_shared<Server>(u"Name"_s, settings, false);
        const ServerOperation operation = isTemplate ? ServerOperation(ServerOperations::NewFromTemplate { server })
                                                     : ServerOperation(ServerOperations::Edit { server });
        const ServerAddEditViewModel form(operation);
        QCOMPARE(form.name(), u"Name"_s);
        QCOMPARE(form.protocolName(), protocol);
        QCOMPARE(form.address(), address(settings));
        QCOMPARE(form.port(), port);
        QCOMPARE(form.serverToEdit(), isTemplate ? ServerPtr() : server);
        QVERIFY(form.builtSettings() == built);
        QVERIFY(form.canSave());
    }

    // A new server goes to the manual group under its cleaned-up name; the first one is selected.
    void addPutsTheServerIntoTheManualGroup()
    {
        for (int i = 0; i < 2; ++i) {
            ServerAddEditViewModel form;
            form.setName(u"office@10.0.0.1:8388"_s);
            form.setAddress(u"10.0.0.1"_s);
            form.setPort(u"8388"_s);
            form.setShadowsocksPassword(u"pw"_s);
            form.save(*m_groups);
        }
        const auto stored = reloaded();
        const QList<ServerPtr> servers = stored->manualGroup()->servers();
        QCOMPARE(servers.size(), 2);
        QCOMPARE(servers[1]->name(), u"10.0.0.1"_s);
        QCOMPARE(servers[1]->originalName(), u"office@10.0.0.1:8388"_s);
        QVERIFY(!servers[1]->isInSubscription());
        QVERIFY(servers[1]->settings() == ss(8388).value);
        QCOMPARE(stored->selectedServer()->id(), servers[0]->id());
    }

    void editChangesTheServerInPlace()
    {
        const auto server = std::make_shared<Server>(u"old@h.example:1"_s, chacha, false);
        m_groups->addServer(server);
        QSignalSpy renamed(server.get(), &Server::nameChanged);
        QSignalSpy changed(server.get(), &Server::settingsChanged);
        ServerAddEditViewModel form(ServerOperations::Edit { server });
        form.setName(u"Renamed"_s);
        form.setProtocolName(Protocol::vmess);
        form.setVmessUserId(u"uid"_s);
        // Nothing reaches the server before Done.
        QCOMPARE(server->name(), u"h.example"_s);
        form.save(*m_groups);
        QCOMPARE(renamed.count(), 1);
        QCOMPARE(changed.count(), 1);
        const ServerPtr stored = reloaded()->findServer(server->id());
        QVERIFY(stored);
        QCOMPARE(stored->name(), u"Renamed"_s);
        QCOMPARE(stored->originalName(), u"old@h.example:1"_s);
        QVERIFY(
            stored->settings() == ServerSettings(VMessSettings { u"10.0.0.2"_s, 443, u"uid"_s, false, {}, u"auto"_s }));
        QCOMPARE(m_groups->manualGroup()->servers().size(), 1);
    }

    void subscriptionServerIsReadOnly()
    {
        const auto server = std::make_shared<Server>(u"Sub"_s, chacha, true);
        m_groups->addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"s"_s, u"https://s.example"_s, true }, QList<ServerPtr> { server }));
        ServerAddEditViewModel form(ServerOperations::Edit { server });
        QVERIFY(form.builtSettings());
        QVERIFY(form.isReadOnly() && !form.canSave() && !form.canDelete());
        form.setName(u"Changed"_s);
        form.save(*m_groups);
        form.deleteServer(*m_groups);
        QCOMPARE(server->name(), u"Sub"_s);
        QCOMPARE(m_groups->subscriptions().first()->servers().size(), 1);
    }

    void deleteRemovesTheManualServer()
    {
        const auto first = std::make_shared<Server>(u"First"_s, chacha, false);
        const auto second = std::make_shared<Server>(u"Second"_s, vmess, false);
        m_groups->addServer(first);
        m_groups->addServer(second);
        ServerAddEditViewModel form(ServerOperations::Edit { first });
        QVERIFY(form.canDelete());
        form.deleteServer(*m_groups);
        const auto stored = reloaded();
        QCOMPARE(stored->manualGroup()->servers().size(), 1);
        QCOMPARE(stored->selectedServer()->id(), second->id());
    }

    void containsLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("empty") << QString() << false;
        QTest::newRow("https") << u"https://sub.example/api?token=1"_s << true;
        QTest::newRow("scheme only") << u"https://"_s << false;
        QTest::newRow("host name") << u"example.com"_s << true;
        QTest::newRow("single label") << u"localhost"_s << false;
        QTest::newRow("numeric top level") << u"10.0.0.1"_s << false;
        QTest::newRow("e-mail address") << u"me@example.com"_s << false;
        // The proxy URI screen's Next depends on these.
        QTest::newRow("shadowsocks URI") << u"ss://YWVzOnB3@h:1"_s << true;
        QTest::newRow("scheme after digits") << u"1vless://id@h:1"_s << true;
        QTest::newRow("scheme of digits only") << u"12://host"_s << false;
        QTest::newRow("mailto") << u"mailto:me@example"_s << false;
    }

    void containsLink()
    {
        QFETCH(QString, text);
        QFETCH(bool, expected);
        QCOMPARE(::containsLink(text), expected);
    }

    void addSubscription_data()
    {
        QTest::addColumn<QString>("urlText");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        // Empty for success, "*" for any error.
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("servers");

        QTest::newRow("two servers") << u"%1"_s << 200 << twoServers << QString()
                                     << QStringList { u"Alpha"_s, u"Beta"_s };
        QTest::newRow("no servers") << u"%1"_s << 200 << u"no servers here\n"_s
                                    << u"No servers found in the provided subscription URL"_s << QStringList();
        QTest::newRow("nothing received") << u"%1"_s << 404 << QString() << u"No data received"_s << QStringList();
        // Done is enabled by the link, but the loader gets the whole text.
        QTest::newRow("link among words") << u"from %1 please"_s << 200 << twoServers << u"*"_s << QStringList();
    }

    void addSubscription()
    {
        QFETCH(QString, urlText);
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(QString, error);
        QFETCH(QStringList, servers);

        m_provider->route("/sub", TestHttpServer::Response { status, body.toUtf8() });
        SubscriptionViewModel form(SubscriptionOperations::New {});
        form.setUrl(urlText.arg(providerUrl()));
        form.setAutoUpdate(false);
        QVERIFY(::containsLink(form.url()));

        const QString failure = failureOf(form.save(*m_groups, *m_loader));
        if (error == u"*"_s)
            QVERIFY(!failure.isEmpty());
        else
            QCOMPARE(failure, error);

        const auto stored = reloaded();
        if (!error.isEmpty()) {
            QVERIFY(m_groups->subscriptions().isEmpty());
            QVERIFY(!m_store->data(u"groups"_s));
            return;
        }
        QCOMPARE(stored->subscriptions().size(), 1);
        const ServerGroupPtr group = stored->subscriptions().first();
        QVERIFY(group->type() == GroupType(SubscriptionType { QString(), providerUrl(), false }));
        QCOMPARE(names(group->servers()), servers);
        QCOMPARE(stored->selectedServer()->name(), servers.first());
    }

    // A failed edit changes nothing; a successful one replaces the group, keeping the user's names.
    void editReplacesTheGroup()
    {
        const ServerGroupPtr old = makeSubscription(providerUrl(), { u"Alpha"_s, u"Gone"_s });
        m_groups->addSubscription(old);
        old->servers().first()->setName(u"My alpha"_s);
        m_provider->route("/sub", "no servers here");
        SubscriptionViewModel form(SubscriptionOperations::Edit { old });
        form.setAutoUpdate(false);
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), u"No servers found in the provided subscription URL"_s);
        QVERIFY(reloaded()->subscriptions().first()->id() == old->id());

        m_provider->route("/sub", twoServers.toUtf8());
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), QString());
        const auto stored = reloaded();
        QCOMPARE(stored->subscriptions().size(), 1);
        const ServerGroupPtr group = stored->subscriptions().first();
        QVERIFY(group->id() != old->id());
        QVERIFY(group->type() == GroupType(SubscriptionType { u"Old"_s, providerUrl(), false }));
        QCOMPARE(names(group->servers()), (QStringList { u"My alpha"_s, u"Beta"_s }));
    }

    void invalidFormSavesNothing()
    {
        m_groups->addServer(makeTestServer(u"Manual"_s));
        SubscriptionViewModel form(SubscriptionOperations::Edit { m_groups->manualGroup() });
        form.setUrl(providerUrl());
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), QString());
        QCOMPARE(m_provider->hits("/sub"), 0);
        QVERIFY(m_groups->subscriptions().isEmpty());
        QCOMPARE(m_groups->manualGroup()->servers().size(), 1);
    }

    // Closing the form during the download does not stop the subscription from being added.
    void formMayGoDuringTheDownload()
    {
        m_provider->route("/sub", twoServers.toUtf8());
        auto form = std::make_unique<SubscriptionViewModel>(SubscriptionOperations::New {});
        form->setUrl(providerUrl());
        QCoro::Task<> task = form->save(*m_groups, *m_loader);
        form.reset();
        QCOMPARE(failureOf(std::move(task)), QString());
        QCOMPARE(m_groups->subscriptions().size(), 1);
    }

    // Cancelled while it saves: the download ends, the catalogue stays as it was.
    void cancelledSaveChangesNothing()
    {
        m_provider->route("/sub", twoServers.toUtf8());
        SubscriptionViewModel form(SubscriptionOperations::New {});
        form.setUrl(providerUrl());
        QCoro::Task<> task = form.save(*m_groups, *m_loader);
        form.cancelSave();
        QCOMPARE(failureOf(std::move(task)), QString());
        QCOMPARE(m_provider->hits("/sub"), 1);
        QVERIFY(m_groups->subscriptions().isEmpty());
    }
};

WRENLOW_TEST(FormsTest)
#include "tst_forms.moc"
