#include "app/forms/serveraddeditviewmodel.h"
#include "app/forms/subscriptionviewmodel.h"
#include "faketunnelplatform.h"
#include "testregistry.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using Protocol = ServerAddEditViewModel::ProtocolName;

// The fields as typed, and what Done would store; one column, as the meta-type system cannot hold
// std::optional of a variant alone.
struct Filled {
    Protocol protocol;
    QString name, port, secret;
    std::optional<ServerSettings> expected;
    QString address = QStringLiteral("10.0.0.1");
    bool withVlessRecord = false;
};

Q_DECLARE_METATYPE(Filled)

namespace {

const VMessSettings vmess { u"v.example"_s, 8443, u"uid-1"_s, true, u"5"_s, u"aes-128-gcm"_s };
const VLESSSettings vless { u"l.example"_s, 443, u"uid-2"_s, u"xtls-rprx-vision"_s, u"none"_s, u"reality"_s,
    u"sni.example"_s, u"chrome"_s, u"pk"_s, u"sid"_s, u"/"_s };

ServerSettings ss(qint64 port)
{
    return ServerSettings(ShadowsockSettings { u"10.0.0.1"_s, port, ShadowsocksCipher::aes256Gcm, u"pw"_s });
}

} // namespace

// What the server form accepts and builds; containsLink decides whether the import screens go on.
class FormsTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Done is enabled exactly when the fields make a server; a host loses its blanks. The widget
    // suite has the plain refusals.
    void builtSettings_data()
    {
        QTest::addColumn<Filled>("row");
        const auto add = [](const char *tag, const Filled &row) { QTest::newRow(tag) << row; };
        const auto s = Protocol::shadowsocks;
        add("shadowsocks", { s, u"a"_s, u"8388"_s, u"pw"_s, ss(8388) });
        add("beyond 65535", { s, u"a"_s, u"70000"_s, u"pw"_s, ss(70000) });
        add("non-ASCII digits", { s, u"a"_s, u"\u0664\u0664\u0663"_s, u"pw"_s, {} });
        add("no name", { s, QString(), u"8388"_s, u"pw"_s, {} });
        add("blank address", { s, u"a"_s, u"443"_s, u"pw"_s, {}, u"  "_s });
        // What the form builds: no alter id, security "auto".
        add("vmess",
            { Protocol::vmess, u"a"_s, u"8388"_s, u"uid"_s,
                VMessSettings { u"10.0.0.1"_s, 8388, u"uid"_s, true, {}, u"auto"_s }, u"10.0.0.1\n"_s });
        // The record keeps its own host and port whatever the fields say.
        add("vless record", { Protocol::vless, u"a"_s, u"8388"_s, QString(), vless, u"x"_s, true });
        add("vless record, bad port", { Protocol::vless, u"a"_s, u"x"_s, QString(), {}, u"x"_s, true });
    }

    void builtSettings()
    {
        QFETCH(Filled, row);
        const auto &[protocol, name, port, secret, expected, address, withVlessRecord] = row;
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
        QVERIFY(form.builtSettings() == expected);
        QCOMPARE(form.canSave(), expected.has_value());
        QCOMPARE(canSaveSpy.count(), expected ? 1 : 0);
    }

    // Editing fills the form from the server; the form has no fields for VMess's alter id and
    // security, so Done writes the form's own values. The widget suite edits the other protocols.
    void formFromVmessServer()
    {
        const auto server = std::make_shared<Server>(u"Name"_s, vmess, false);
        const ServerAddEditViewModel form(ServerOperations::Edit { server });
        QCOMPARE(form.name(), u"Name"_s);
        QCOMPARE(form.protocolName(), Protocol::vmess);
        QVERIFY(form.builtSettings()
            == ServerSettings(VMessSettings { vmess.address, vmess.port, vmess.userId, true, {}, u"auto"_s }));
    }

    void containsLink_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("scheme only") << u"https://"_s << false;
        QTest::newRow("host name") << u"example.com"_s << true;
        QTest::newRow("single label") << u"localhost"_s << false;
        QTest::newRow("numeric top level") << u"10.0.0.1"_s << false;
        QTest::newRow("e-mail address") << u"me@example.com"_s << false;
        // The proxy URI screen's Next depends on these.
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
};

WRENLOW_TEST(FormsTest)
#include "tst_forms.moc"
