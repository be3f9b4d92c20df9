#include "app/catalogue/subscriptionloader.h"
#include "faketunnelplatform.h"
#include "formtesting.h"
#include "testregistry.h"
#include "ui/common/sheet.h"
#include "ui/forms/importscreens.h"
#include "ui/forms/serverformscreen.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

using namespace Qt::StringLiterals;

namespace {

// Opens the import sheet and follows its "Server" row to a blank form.
QPointer<Sheet> openBlankForm(TestCatalogue &catalogue, SubscriptionLoader &loader)
{
    QPointer<Sheet> sheet = AddServerSheet::open(catalogue.groups, loader, nullptr);
    QTest::mouseClick(shownButton(sheet, u"Server"_s), Qt::LeftButton);
    return sheet;
}

} // namespace

class ServerFormTest final : public QObject {
    Q_OBJECT

    SubscriptionLoader m_loader;

private Q_SLOTS:
    void doneEnabling_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("enabled");

        QTest::newRow("shadowsocks") << u"Shadowsocks"_s << u"8388"_s << u"pw"_s << true;
        QTest::newRow("plus sign") << u"Shadowsocks"_s << u"+443"_s << u"pw"_s << true;
        QTest::newRow("negative") << u"Shadowsocks"_s << u"-1"_s << u"pw"_s << true;
        QTest::newRow("leading blank") << u"Shadowsocks"_s << u" 443"_s << u"pw"_s << false;
        QTest::newRow("trailing letter") << u"Shadowsocks"_s << u"443a"_s << u"pw"_s << false;
        QTest::newRow("no password") << u"Shadowsocks"_s << u"443"_s << QString() << false;
        QTest::newRow("vmess") << u"VMess"_s << u"443"_s << u"uuid"_s << true;
        QTest::newRow("vmess without uuid") << u"VMess"_s << u"443"_s << QString() << false;
        // A VLESS record cannot be typed in, whatever else is filled.
        QTest::newRow("fresh vless") << u"VLESS"_s << u"443"_s << u"anything"_s << false;
    }

    void doneEnabling()
    {
        QFETCH(QString, protocol);
        QFETCH(QString, port);
        QFETCH(QString, secret);
        QFETCH(bool, enabled);

        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = openBlankForm(catalogue, m_loader);
        // The name field has the focus: typing goes there.
        QCOMPARE(sheet->focusWidget(), shown<QLineEdit>(sheet, u"Name"_s));
        QTest::keyClicks(sheet->focusWidget(), u"Office"_s);
        QTest::mouseClick(shownButton(sheet, protocol), Qt::LeftButton);
        type(sheet, u"Host"_s, u"10.0.0.1"_s);
        type(sheet, u"Port"_s, port);
        if (protocol == u"VLESS") {
            QVERIFY(shown<QLineEdit>(sheet, u"Password"_s) == nullptr);
            bool noteShown = false;
            for (auto *label : sheet->findChildren<QLabel *>())
                noteShown |= label->isVisibleTo(sheet) && label->text().startsWith(u"VLESS servers can only"_s);
            QVERIFY(noteShown);
        } else if (!secret.isEmpty()) {
            type(sheet, protocol == u"VMess" ? u"UUID"_s : u"Password"_s, secret);
        }
        QCOMPARE(shownButton(sheet, u"Done"_s)->isEnabled(), enabled);
        // Return presses Done when it is enabled, and only then.
        QTest::keyClick(shown<QLineEdit>(sheet, u"Host"_s), Qt::Key_Return);
        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), enabled ? 1 : 0);
        QTRY_COMPARE(sheet.isNull(), enabled);
    }

    // A new server lands in the manual group, cleaned-up name, default cipher, selected.
    void addsServer()
    {
        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = openBlankForm(catalogue, m_loader);
        type(sheet, u"Name"_s, u"office@10.0.0.1:8388"_s);
        type(sheet, u"Host"_s, u"10.0.0.1"_s);
        type(sheet, u"Port"_s, u"8388"_s);
        type(sheet, u"Password"_s, u"secret"_s);
        click(sheet, u"Done"_s);
        QTRY_VERIFY(sheet.isNull());

        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), 1);
        const ServerPtr server = catalogue.groups.manualGroup()->servers().first();
        QCOMPARE(server->name(), u"10.0.0.1"_s);
        QCOMPARE(server->originalName(), u"office@10.0.0.1:8388"_s);
        QVERIFY(!server->isInSubscription());
        QVERIFY(server->settings()
            == ServerSettings(ShadowsockSettings { u"10.0.0.1"_s, 8388, ShadowsocksCipher::aes256Gcm, u"secret"_s }));
        QCOMPARE(catalogue.groups.selectedServer(), server);
    }

    void editKeepsIdentity_data()
    {
        QTest::addColumn<ServerSettings>("initial");
        QTest::addColumn<QString>("switchTo");
        QTest::addColumn<ServerSettings>("expected");

        const ShadowsockSettings chacha { u"h.example"_s, 8388, ShadowsocksCipher::chacha20Poly1305, u"pw"_s };
        QTest::newRow("unchanged cipher") << ServerSettings(chacha) << QString() << ServerSettings(chacha);
        QTest::newRow("to vmess") << ServerSettings(chacha) << u"VMess"_s
                                  << ServerSettings(VMessSettings {
                                         u"h.example"_s, 8388, u"id-1"_s, false, QString(), u"auto"_s });
    }

    void editKeepsIdentity()
    {
        QFETCH(ServerSettings, initial);
        QFETCH(QString, switchTo);
        QFETCH(ServerSettings, expected);

        TestCatalogue catalogue;
        const ServerPtr server = std::make_shared<Server>(u"a:b@h.example:1"_s, initial, false);
        catalogue.groups.addServer(server);
        const QUuid id = server->id();
        const QPointer<Sheet> sheet = EditServerSheet::open(server, catalogue.groups, nullptr);
        QCOMPARE(shown<QComboBox>(sheet, u"Encryption"_s)->currentText(), caseName(std::get<0>(initial).cipher));
        type(sheet, u"Name"_s, u"Renamed"_s);
        if (!switchTo.isEmpty()) {
            QTest::mouseClick(shownButton(sheet, switchTo), Qt::LeftButton);
            type(sheet, u"UUID"_s, u"id-1"_s);
        }
        click(sheet, u"Done"_s);
        QTRY_VERIFY(sheet.isNull());

        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), 1);
        QCOMPARE(catalogue.groups.manualGroup()->servers().first(), server);
        QCOMPARE(server->id(), id);
        QCOMPARE(server->name(), u"Renamed"_s);
        QCOMPARE(server->originalName(), u"a:b@h.example:1"_s);
        QVERIFY(server->settings() == expected);
        // Stored, not only changed in memory.
        QVERIFY(GroupCollection::load(*catalogue.store)->findServer(id)->settings() == expected);
    }

    // A subscription's server only shows its fields: nothing can be changed, saved or deleted.
    void subscriptionServerIsReadOnly()
    {
        TestCatalogue catalogue;
        const ServerPtr server = std::make_shared<Server>(
            u"Sub"_s, ShadowsockSettings { u"s.example"_s, 1, ShadowsocksCipher::aes128Gcm, u"pw"_s }, true);
        catalogue.groups.addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"S"_s, u"https://s.example"_s, true }, QList<ServerPtr> { server }));
        const QPointer<Sheet> sheet = EditServerSheet::open(server, catalogue.groups, nullptr);

        for (const QString &input : { u"Name"_s, u"Host"_s, u"Port"_s, u"Password"_s, u"Encryption"_s, u"Shadowsocks"_s,
                 u"VMess"_s, u"Done"_s, u"Delete"_s })
            QVERIFY2(!shown<QWidget>(sheet, input)->isEnabled(), qPrintable(input));
        click(sheet, u"Close"_s);
        QTRY_VERIFY(sheet.isNull());
        QCOMPARE(server->name(), u"Sub"_s);
        QCOMPARE(catalogue.groups.allServers().size(), 1);
    }

    void deleteAsksFirst_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("delete") << u"Delete"_s << true;
        QTest::newRow("cancel") << u"Cancel"_s << false;
    }

    void deleteAsksFirst()
    {
        QFETCH(QString, answer);
        QFETCH(bool, deleted);

        TestCatalogue catalogue;
        const ServerPtr keep = makeTestServer(u"Keep"_s);
        const ServerPtr server = makeTestServer(u"Doomed"_s);
        catalogue.groups.addServer(keep);
        catalogue.groups.addServer(server);
        catalogue.groups.setSelectedServer(server);
        const QPointer<Sheet> sheet = EditServerSheet::open(server, catalogue.groups, nullptr);
        click(sheet, u"Delete"_s);
        QMessageBox *confirmation = EditServerSheet::confirmation(sheet);
        QVERIFY(confirmation);
        QCOMPARE(confirmation->windowTitle(), u"Do you with to delete this server?"_s);
        // Nothing goes before the answer.
        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), 2);
        QAbstractButton *button = nullptr;
        for (QAbstractButton *candidate : confirmation->buttons()) {
            if (candidate->text() == answer)
                button = candidate;
        }
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);

        QTRY_VERIFY(!EditServerSheet::confirmation(sheet));
        QTRY_COMPARE(sheet.isNull(), deleted);
        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), deleted ? 1 : 2);
        QCOMPARE(catalogue.groups.selectedServer(), deleted ? keep : server);
        if (!deleted)
            sheet->close();
    }
};

WRENLOW_TEST(ServerFormTest)
#include "tst_serverform.moc"
