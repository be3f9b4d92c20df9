#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"
#include "app/forms/subscriptionviewmodel.h"
#include "app/tunnel/vpnmanager.h"
#include "core/foundation/defaultsstore.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using Type = SubscriptionViewModel::Type;

Q_DECLARE_METATYPE(SubscriptionOperation)

namespace {

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

class SubscriptionViewModelTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;
    FakeTunnelPlatform m_platform;
    std::unique_ptr<VPNManager> m_vpn;
    // The subscription provider; answers at /sub.
    std::unique_ptr<SubscriptionLoader> m_loader;
    std::unique_ptr<TestHttpServer> m_provider;

    QString providerUrl() const { return m_provider->url(u"/sub"_s).toString(); }

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

    void construction_data()
    {
        QTest::addColumn<SubscriptionOperation>("operation");
        QTest::addColumn<QString>("title");
        QTest::addColumn<Type>("type");
        QTest::addColumn<bool>("isInvalid");
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("autoUpdate");

        const auto subscription = std::make_shared<ServerGroup>(
            SubscriptionType { u"Mine"_s, u"https://s.example/x"_s, false }, QList<ServerPtr>());
        const auto manual = std::make_shared<ServerGroup>(ManualType {}, QList<ServerPtr>());
        QTest::newRow("new") << SubscriptionOperation(SubscriptionOperations::New {}) << u"Add Subscription"_s
                             << Type::newSubscription << false << QString() << true;
        QTest::newRow("new with URL") << SubscriptionOperation(SubscriptionOperations::NewWithURL { u"https://u"_s })
                                      << u"Add subscription"_s << Type::newSubscription << false << u"https://u"_s
                                      << true;
        QTest::newRow("edit") << SubscriptionOperation(SubscriptionOperations::Edit { subscription })
                              << u"Edit Subscription"_s << Type::edit << false << u"https://s.example/x"_s << false;
        QTest::newRow("edit manual group") << SubscriptionOperation(SubscriptionOperations::Edit { manual })
                                           << u"Edit Subscription"_s << Type::edit << true << QString() << false;
    }

    void construction()
    {
        QFETCH(SubscriptionOperation, operation);
        QFETCH(QString, title);
        QFETCH(Type, type);
        QFETCH(bool, isInvalid);
        QFETCH(QString, url);
        QFETCH(bool, autoUpdate);

        const SubscriptionViewModel form(operation);
        QCOMPARE(form.title(), title);
        QCOMPARE(form.type(), type);
        QCOMPARE(form.isInvalid(), isInvalid);
        QCOMPARE(form.url(), url);
        QCOMPARE(form.autoUpdate(), autoUpdate);
        const auto *edit = std::get_if<SubscriptionOperations::Edit>(&operation);
        QCOMPARE(form.serverGroup(), edit ? edit->group : ServerGroupPtr());
        QCOMPARE(form.name(), edit && !isInvalid ? u"Mine"_s : QString());
    }

    void containsLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("empty") << QString() << false;
        QTest::newRow("words") << u"no link in here"_s << false;
        QTest::newRow("https") << u"https://sub.example/api?token=1"_s << true;
        QTest::newRow("upper-case scheme") << u"HTTP://SUB.EXAMPLE"_s << true;
        QTest::newRow("among words") << u"paste: https://x.example/s thanks"_s << true;
        QTest::newRow("after other text in the word") << u"url=https://x.example"_s << true;
        QTest::newRow("ip address with scheme") << u"http://10.0.0.1:8080/s"_s << true;
        QTest::newRow("scheme only") << u"https://"_s << false;
        QTest::newRow("scheme without host") << u"http:///path"_s << false;
        QTest::newRow("host name") << u"example.com"_s << true;
        QTest::newRow("host name with port and path") << u"www.example.com:8080/sub?a=b"_s << true;
        QTest::newRow("host name ending a sentence") << u"get it from example.com."_s << true;
        QTest::newRow("single label") << u"localhost"_s << false;
        QTest::newRow("numeric top level") << u"10.0.0.1"_s << false;
        QTest::newRow("one-letter top level") << u"example.c"_s << false;
        QTest::newRow("empty label") << u"example..com"_s << false;
        QTest::newRow("bad port") << u"example.com:x"_s << false;
        QTest::newRow("e-mail address") << u"me@example.com"_s << false;
        // The proxy URI screen's Next depends on these.
        QTest::newRow("shadowsocks URI") << u"ss://YWVzOnB3@h:1"_s << true;
        QTest::newRow("vmess URI") << u"vmess://eyJhZGQiOiJ4In0="_s << true;
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

    void editReplacesTheGroup()
    {
        const ServerGroupPtr old = makeSubscription(providerUrl(), { u"Alpha"_s, u"Gone"_s });
        m_groups->addSubscription(old);
        old->servers().first()->setName(u"My alpha"_s);
        m_provider->route("/sub", twoServers.toUtf8());

        SubscriptionViewModel form(SubscriptionOperations::Edit { old });
        form.setAutoUpdate(false);
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), QString());

        const auto stored = reloaded();
        QCOMPARE(stored->subscriptions().size(), 1);
        const ServerGroupPtr group = stored->subscriptions().first();
        QVERIFY(group->id() != old->id());
        QVERIFY(group->type() == GroupType(SubscriptionType { u"Old"_s, providerUrl(), false }));
        QCOMPARE(names(group->servers()), (QStringList { u"My alpha"_s, u"Beta"_s }));
    }

    void failedEditChangesNothing()
    {
        const ServerGroupPtr old = makeSubscription(providerUrl(), { u"Alpha"_s });
        m_groups->addSubscription(old);
        m_provider->route("/sub", "no servers here");
        SubscriptionViewModel form(SubscriptionOperations::Edit { old });
        form.setName(u"New name"_s);
        QCOMPARE(failureOf(form.save(*m_groups, *m_loader)), u"No servers found in the provided subscription URL"_s);
        QVERIFY(m_groups->subscriptions() == QList<ServerGroupPtr> { old });
        QVERIFY(reloaded()->subscriptions().first()->id() == old->id());
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

    // Leaving the form while it saves: the download ends, the catalogue stays as it was.
    void cancelledSaveChangesNothing()
    {
        m_provider->route("/sub", twoServers.toUtf8());
        auto form = std::make_unique<SubscriptionViewModel>(SubscriptionOperations::New {});
        form->setUrl(providerUrl());
        QCoro::Task<> task = form->save(*m_groups, *m_loader);
        form->cancelSave();
        form.reset();
        QCOMPARE(failureOf(std::move(task)), QString());
        QCOMPARE(m_provider->hits("/sub"), 1);
        QVERIFY(m_groups->subscriptions().isEmpty());
    }

    void operationsCompare()
    {
        const auto group = std::make_shared<ServerGroup>(ManualType {}, QList<ServerPtr>());
        const auto sameId = std::make_shared<ServerGroup>(group->id(), ManualType {}, QList<ServerPtr>(), QDateTime());
        const SubscriptionOperation edit = SubscriptionOperations::Edit { group };
        QVERIFY(edit == SubscriptionOperation(SubscriptionOperations::Edit { sameId }));
        QCOMPARE(qHash(edit), qHash(SubscriptionOperation(SubscriptionOperations::Edit { sameId })));
        QVERIFY(edit != SubscriptionOperation(SubscriptionOperations::New {}));
        QVERIFY(SubscriptionOperation(SubscriptionOperations::NewWithURL { u"a"_s })
            != SubscriptionOperation(SubscriptionOperations::NewWithURL { u"b"_s }));
    }
};

WRENLOW_TEST(SubscriptionViewModelTest)
#include "tst_subscriptionviewmodel.moc"
