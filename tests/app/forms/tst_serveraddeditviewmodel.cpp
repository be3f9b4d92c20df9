#include "app/catalogue/groupcollection.h"
#include "app/forms/serveraddeditviewmodel.h"
#include "core/foundation/defaultsstore.h"
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

} // namespace

class ServerAddEditViewModelTest final : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<DefaultsStore> m_store;
    std::unique_ptr<GroupCollection> m_groups;

    // A catalogue as the program would read it back at the next start.
    std::unique_ptr<GroupCollection> reloaded() const { return GroupCollection::load(*m_store); }

private Q_SLOTS:
    void init()
    {
        QDir(m_dir.path()).removeRecursively();
        m_store = std::make_unique<DefaultsStore>(m_dir.filePath(u"store"_s));
        m_groups = std::make_unique<GroupCollection>(*m_store);
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
};

WRENLOW_TEST(ServerAddEditViewModelTest)
#include "tst_serveraddeditviewmodel.moc"
