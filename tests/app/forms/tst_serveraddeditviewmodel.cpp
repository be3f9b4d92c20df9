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
// What the form builds: no alter id, security "auto".
const VMessSettings typedVmess { u"10.0.0.1"_s, 8388, u"uid"_s, true, {}, u"auto"_s };
const VMessSettings editedVmess { u"v.example"_s, 8443, u"uid-1"_s, true, {}, u"auto"_s };

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

    void builtSettings_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("withVlessRecord");
        QTest::addColumn<OptionalSettings>("expected");

        const auto ss = [](qint64 port) -> OptionalSettings {
            return ServerSettings(ShadowsockSettings { u"10.0.0.1"_s, port, ShadowsocksCipher::aes256Gcm, u"pw"_s });
        };
        QTest::newRow("shadowsocks") << Protocol::shadowsocks << u"a"_s << u"8388"_s << u"pw"_s << false << ss(8388);
        QTest::newRow("plus sign") << Protocol::shadowsocks << u"a"_s << u"+443"_s << u"pw"_s << false << ss(443);
        QTest::newRow("minus sign") << Protocol::shadowsocks << u"a"_s << u"-1"_s << u"pw"_s << false << ss(-1);
        QTest::newRow("beyond 65535") << Protocol::shadowsocks << u"a"_s << u"70000"_s << u"pw"_s << false << ss(70000);
        const OptionalSettings none;
        QTest::newRow("leading blank") << Protocol::shadowsocks << u"a"_s << u" 443"_s << u"pw"_s << false << none;
        QTest::newRow("trailing letter") << Protocol::shadowsocks << u"a"_s << u"443a"_s << u"pw"_s << false << none;
        QTest::newRow("sign only") << Protocol::shadowsocks << u"a"_s << u"+"_s << u"pw"_s << false << none;
        QTest::newRow("two signs") << Protocol::shadowsocks << u"a"_s << u"+-1"_s << u"pw"_s << false << none;
        QTest::newRow("non-ASCII digits")
            << Protocol::shadowsocks << u"a"_s << u"\u0664\u0664\u0663"_s << u"pw"_s << false << none;
        QTest::newRow("too large for a number")
            << Protocol::shadowsocks << u"a"_s << u"99999999999999999999"_s << u"pw"_s << false << none;
        QTest::newRow("no name") << Protocol::shadowsocks << QString() << u"8388"_s << u"pw"_s << false << none;
        QTest::newRow("no port") << Protocol::shadowsocks << u"a"_s << QString() << u"pw"_s << false << none;
        QTest::newRow("no password") << Protocol::shadowsocks << u"a"_s << u"8388"_s << QString() << false << none;
        QTest::newRow("vmess") << Protocol::vmess << u"a"_s << u"8388"_s << u"uid"_s << false
                               << OptionalSettings(ServerSettings(typedVmess));
        QTest::newRow("vmess without id") << Protocol::vmess << u"a"_s << u"8388"_s << QString() << false << none;
        QTest::newRow("vless typed in") << Protocol::vless << u"a"_s << u"8388"_s << u"pw"_s << false << none;
        // The record keeps its own host and port whatever the fields say.
        QTest::newRow("vless record") << Protocol::vless << u"a"_s << u"8388"_s << QString() << true
                                      << OptionalSettings(ServerSettings(vless));
        QTest::newRow("vless record, bad port") << Protocol::vless << u"a"_s << u"x"_s << QString() << true << none;
    }

    void builtSettings()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, name);
        QFETCH(QString, port);
        QFETCH(QString, secret);
        QFETCH(bool, withVlessRecord);
        QFETCH(OptionalSettings, expected);

        ServerAddEditViewModel form;
        QSignalSpy canSaveSpy(&form, &ServerAddEditViewModel::canSaveChanged);
        form.setName(name);
        form.setProtocolName(protocol);
        form.setAddress(u"10.0.0.1"_s);
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

    // A host pasted with blanks around it would be stored with them.
    void addressIsTrimmed_data()
    {
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("address");
        QTest::addColumn<OptionalSettings>("expected");
        const auto ss = [](const QString &address) -> OptionalSettings {
            return ServerSettings(ShadowsockSettings { address, 443, ShadowsocksCipher::aes256Gcm, u"pw"_s });
        };
        QTest::newRow("blanks around") << Protocol::shadowsocks << u" h.example\t"_s << ss(u"h.example"_s);
        QTest::newRow("line break after paste")
            << Protocol::vmess << u"10.0.0.1\n"_s
            << OptionalSettings(ServerSettings(VMessSettings { u"10.0.0.1"_s, 443, u"pw"_s, false, {}, u"auto"_s }));
        QTest::newRow("blanks only") << Protocol::shadowsocks << u"  "_s << OptionalSettings();
    }

    void addressIsTrimmed()
    {
        QFETCH(Protocol, protocol);
        QFETCH(QString, address);
        QFETCH(OptionalSettings, expected);
        ServerAddEditViewModel form;
        form.setName(u"n"_s);
        form.setProtocolName(protocol);
        form.setAddress(address);
        form.setPort(u"443"_s);
        form.setShadowsocksPassword(u"pw"_s);
        form.setVmessUserId(u"pw"_s);
        QVERIFY(form.builtSettings() == expected.value);
        QCOMPARE(form.canSave(), expected.value.has_value());
    }

    void fieldsNotifyAfterTheChange()
    {
        ServerAddEditViewModel form;
        QString seen;
        connect(&form, &ServerAddEditViewModel::portChanged, this, [&] { seen = form.port(); });
        form.setPort(u"443"_s);
        QCOMPARE(seen, u"443"_s);
        seen.clear();
        form.setPort(u"443"_s);
        QVERIFY(seen.isEmpty());
    }

    void formFromServer_data()
    {
        QTest::addColumn<bool>("isTemplate");
        QTest::addColumn<ServerSettings>("settings");
        QTest::addColumn<Protocol>("protocol");
        QTest::addColumn<QString>("port");
        QTest::addColumn<OptionalSettings>("built");

        QTest::newRow("edit shadowsocks") << false << ServerSettings(chacha) << Protocol::shadowsocks << u"443"_s
                                          << OptionalSettings(ServerSettings(chacha));
        // The form has no fields for the alter id and security; Done writes the form's own values.
        QTest::newRow("edit vmess") << false << ServerSettings(vmess) << Protocol::vmess << u"8443"_s
                                    << OptionalSettings(ServerSettings(editedVmess));
        QTest::newRow("template vless") << true << ServerSettings(vless) << Protocol::vless << u"443"_s
                                        << OptionalSettings(ServerSettings(vless));
    }

    void formFromServer()
    {
        QFETCH(bool, isTemplate);
        QFETCH(ServerSettings, settings);
        QFETCH(Protocol, protocol);
        QFETCH(QString, port);
        QFETCH(OptionalSettings, built);

        const auto server = std::make_shared<Server>(u"Name"_s, settings, false);
        const ServerOperation operation = isTemplate ? ServerOperation(ServerOperations::NewFromTemplate { server })
                                                     : ServerOperation(ServerOperations::Edit { server });
        const ServerAddEditViewModel form(operation);
        QCOMPARE(form.name(), u"Name"_s);
        QCOMPARE(form.protocolName(), protocol);
        QCOMPARE(form.address(), address(settings));
        QCOMPARE(form.port(), port);
        QCOMPARE(form.serverToEdit(), isTemplate ? ServerPtr() : server);
        QVERIFY(form.builtSettings() == built.value);
        QVERIFY(form.canSave());
    }

    void addPutsTheServerIntoTheManualGroup_data()
    {
        QTest::addColumn<bool>("somethingSelected");
        QTest::newRow("nothing selected") << false;
        QTest::newRow("selection kept") << true;
    }

    void addPutsTheServerIntoTheManualGroup()
    {
        QFETCH(bool, somethingSelected);
        if (somethingSelected)
            m_groups->addServer(std::make_shared<Server>(u"First"_s, chacha, false));

        ServerAddEditViewModel form;
        form.setName(u"office@10.0.0.1:8388"_s);
        form.setAddress(u"10.0.0.1"_s);
        form.setPort(u"8388"_s);
        form.setShadowsocksPassword(u"pw"_s);
        form.save(*m_groups);

        const auto stored = reloaded();
        const QList<ServerPtr> servers = stored->manualGroup()->servers();
        QCOMPARE(servers.size(), somethingSelected ? 2 : 1);
        const ServerPtr added = servers.last();
        QCOMPARE(added->name(), u"10.0.0.1"_s);
        QCOMPARE(added->originalName(), u"office@10.0.0.1:8388"_s);
        QVERIFY(!added->isInSubscription());
        QVERIFY(added->settings()
            == ServerSettings(ShadowsockSettings { u"10.0.0.1"_s, 8388, ShadowsocksCipher::aes256Gcm, u"pw"_s }));
        QCOMPARE(stored->selectedServer()->name(), somethingSelected ? u"First"_s : u"10.0.0.1"_s);
    }

    void templateAddsANewServer()
    {
        const auto parsed = std::make_shared<Server>(u"Imported"_s, vless, false);
        ServerAddEditViewModel form(ServerOperations::NewFromTemplate { parsed });
        form.save(*m_groups);
        const QList<ServerPtr> servers = reloaded()->manualGroup()->servers();
        QCOMPARE(servers.size(), 1);
        QVERIFY(servers[0]->id() != parsed->id());
        QVERIFY(servers[0]->settings() == ServerSettings(vless));
    }

    void editChangesTheServerInPlace()
    {
        const auto server = std::make_shared<Server>(u"old@h.example:1"_s, chacha, false);
        m_groups->addServer(server);
        QStringList changes;
        // Ends the connections with this function: the catalogue keeps the server.
        QObject scope;
        connect(server.get(), &Server::nameChanged, &scope, [&] { changes << u"name"_s; });
        connect(server.get(), &Server::settingsChanged, &scope, [&] { changes << u"settings"_s; });

        ServerAddEditViewModel form(ServerOperations::Edit { server });
        form.setName(u"Renamed"_s);
        form.setProtocolName(Protocol::vmess);
        form.setVmessUserId(u"uid"_s);
        // Nothing reaches the server before Done.
        QCOMPARE(server->name(), u"h.example"_s);
        form.save(*m_groups);

        QCOMPARE(changes, (QStringList { u"name"_s, u"settings"_s }));
        const VMessSettings expected { u"10.0.0.2"_s, 443, u"uid"_s, false, QString(), u"auto"_s };
        const ServerPtr stored = reloaded()->findServer(server->id());
        QVERIFY(stored);
        QCOMPARE(stored->name(), u"Renamed"_s);
        QCOMPARE(stored->originalName(), u"old@h.example:1"_s);
        QVERIFY(stored->settings() == ServerSettings(expected));
        QCOMPARE(m_groups->manualGroup()->servers().size(), 1);
    }

    void subscriptionServerIsReadOnly()
    {
        const auto server = std::make_shared<Server>(u"Sub"_s, chacha, true);
        const SubscriptionType type { u"s"_s, u"https://s.example"_s, true };
        m_groups->addSubscription(std::make_shared<ServerGroup>(type, QList<ServerPtr> { server }));
        ServerAddEditViewModel form(ServerOperations::Edit { server });
        QVERIFY(form.builtSettings());
        QVERIFY(form.isReadOnly());
        QVERIFY(!form.canSave());
        QVERIFY(!form.canDelete());

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

    void operationsCompareByServerId()
    {
        const auto server = std::make_shared<Server>(u"A"_s, chacha, false);
        // The same server read back from storage is another object with the same id.
        const auto sameId = std::make_shared<Server>(server->id(), u"B"_s, u"B"_s, ServerSettings(vmess), false);
        const auto other = std::make_shared<Server>(u"A"_s, chacha, false);

        const ServerOperation edit = ServerOperations::Edit { server };
        QVERIFY(edit == ServerOperation(ServerOperations::Edit { sameId }));
        QCOMPARE(qHash(edit), qHash(ServerOperation(ServerOperations::Edit { sameId })));
        QVERIFY(edit != ServerOperation(ServerOperations::Edit { other }));
        QVERIFY(edit != ServerOperation(ServerOperations::NewFromTemplate { server }));
        QVERIFY(ServerOperation(ServerOperations::New {}) == ServerOperation(ServerOperations::New {}));
    }
};

WRENLOW_TEST(ServerAddEditViewModelTest)
#include "tst_serveraddeditviewmodel.moc"
