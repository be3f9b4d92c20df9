#include "../uitesting.h"
#include "app/catalogue/subscriptionloader.h"
#include "core/catalogue/proxyuriparser.h"
#include "faketunnelplatform.h"
#include "httpserver.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/common/sheet.h"
#include "ui/forms/importscreens.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/welcome/welcomescreen.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

const QString twoServers = u"ss://aes-128-gcm:pw@a.example:8388#Alpha\nss://aes-128-gcm:pw@b.example:8388#Beta\n"_s;
const QString vlessUri = u"vless://0b7a6a4e-0000-4000-8000-000000000001@v.example:443?security=reality"
                         "&flow=xtls-rprx-vision&sni=www.example.com&fp=chrome&pbk=KEY&sid=ab&type=tcp#Edge"_s;

const ShadowsockSettings chacha { u"h.example"_s, 8388, ShadowsocksCipher::chacha20Poly1305, u"pw"_s };

// The sheet's top screen as the given type.
template <typename T> T *top(Sheet *sheet)
{
    return qobject_cast<T *>(sheet->stack()->top());
}

// Follows a row of the import sheet and types into the screen's editor, which has the focus.
QPlainTextEdit *follow(Sheet *sheet, const QString &row, const QString &text)
{
    QTest::mouseClick(shown(sheet, row), Qt::LeftButton);
    auto *editor = qobject_cast<QPlainTextEdit *>(sheet->focusWidget());
    if (!editor)
        return nullptr;
    // '\r' is the Return key to QTest.
    QTest::keyClicks(editor, QString(text).replace(u'\n', u'\r'));
    return editor;
}

} // namespace

// The sheets that add, edit and delete servers and subscriptions.
class ServerSheetsTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_provider;
    SubscriptionLoader m_loader;
    std::optional<TestCatalogue> m_catalogue;

    QString providerUrl() const { return m_provider->url(u"/sub"_s).toString(); }
    QPointer<Sheet> openImport() { return AddServerSheet::open(m_catalogue->groups, m_loader, nullptr); }
    // The import sheet's "Server" row leads to a blank form.
    QPointer<Sheet> openBlankForm()
    {
        QPointer<Sheet> sheet = openImport();
        QTest::mouseClick(shown(sheet, u"Server"_s), Qt::LeftButton);
        return sheet;
    }

private Q_SLOTS:
    void init()
    {
        m_provider = std::make_unique<TestHttpServer>();
        QVERIFY(m_provider->start());
        m_catalogue.emplace();
    }

    // A sheet a test left open goes with the test, as it would go with its window.
    void cleanup()
    {
        QList<QPointer<Sheet>> open;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *sheet = qobject_cast<Sheet *>(window))
                open.append(sheet);
        }
        // Deleting one may take another with it.
        for (const QPointer<Sheet> &sheet : open)
            delete sheet.data();
        m_catalogue.reset();
    }

    void doneEnabling_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("shadowsocks") << u"Shadowsocks"_s << u"8388"_s << u"pw"_s << true;
        QTest::newRow("bad port") << u"Shadowsocks"_s << u"443a"_s << u"pw"_s << false;
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
        const QPointer<Sheet> sheet = openBlankForm();
        // The name field has the focus: typing goes there.
        QCOMPARE(sheet->focusWidget(), shown<QLineEdit>(sheet, u"Name"_s));
        QTest::keyClicks(sheet->focusWidget(), u"Office"_s);
        QTest::mouseClick(shown(sheet, protocol), Qt::LeftButton);
        type(sheet, u"Host"_s, u"10.0.0.1"_s);
        type(sheet, u"Port"_s, port);
        if (protocol == u"VLESS") {
            QVERIFY(!shown<QLineEdit>(sheet, u"Password"_s));
            bool noteShown = false;
            for (auto *label : sheet->findChildren<QLabel *>())
                noteShown |= label->isVisibleTo(sheet) && label->text().startsWith(u"VLESS servers can only"_s);
            QVERIFY(noteShown);
        } else if (!secret.isEmpty()) {
            type(sheet, protocol == u"VMess" ? u"UUID"_s : u"Password"_s, secret);
        }
        QCOMPARE(shown(sheet, u"Done"_s)->isEnabled(), enabled);
        // Return presses Done when it is enabled, and only then.
        QTest::keyClick(shown<QLineEdit>(sheet, u"Host"_s), Qt::Key_Return);
        QCOMPARE(m_catalogue->groups.manualGroup()->servers().size(), enabled ? 1 : 0);
        QTRY_COMPARE(sheet.isNull(), enabled);
    }

    void doneStores_data()
    {
        // "edit", a pasted proxy URI, or empty for a blank form.
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("typedName");
        QTest::addColumn<QString>("switchTo");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("originalName");
        QTest::addColumn<ServerSettings>("expected");
        // "label=value" of every read-only row shown.
        QTest::addColumn<QStringList>("rows");
        const auto add = [](const char *tag, const QString &source, const QString &typedName, const QString &switchTo,
                             const QString &name, const QString &originalName, const ServerSettings &expected,
                             const QStringList &rows = {}) {
            QTest::newRow(tag) << source << typedName << switchTo << name << originalName << expected << rows;
        };
        // A new server lands in the manual group under its cleaned-up name, with the default cipher, selected.
        add("new", {}, u"office@10.0.0.1:8388"_s, {}, u"10.0.0.1"_s, u"office@10.0.0.1:8388"_s,
            ShadowsockSettings { u"10.0.0.1"_s, 8388, ShadowsocksCipher::aes256Gcm, u"secret"_s });
        // An edited server keeps its identity and its original name.
        add("edit, unchanged cipher", u"edit"_s, u"Renamed"_s, {}, u"Renamed"_s, u"a:b@h.example:1"_s, chacha);
        add("edit to vmess", u"edit"_s, u"Renamed"_s, u"VMess"_s, u"Renamed"_s, u"a:b@h.example:1"_s,
            VMessSettings { u"h.example"_s, 8388, u"id-1"_s, false, QString(), u"auto"_s });
        // A pasted vless URI is completed in the form.
        add("vless URI, reality", vlessUri, {}, {}, u"Edge"_s, u"Edge"_s, parseProxyURI(vlessUri)->settings(),
            { u"Security=reality"_s, u"Flow=xtls-rprx-vision"_s, u"SNI=www.example.com"_s, u"Fingerprint=chrome"_s });
        const QString plain = u"vless://id@v.example:443?security=none&type=tcp#Plain"_s;
        add("vless URI, plain", plain, {}, {}, u"Plain"_s, u"Plain"_s, parseProxyURI(plain)->settings());
    }

    void doneStores()
    {
        QFETCH(QString, source);
        QFETCH(QString, typedName);
        QFETCH(QString, switchTo);
        QFETCH(QString, name);
        QFETCH(QString, originalName);
        QFETCH(ServerSettings, expected);
        QFETCH(QStringList, rows);
        QPointer<Sheet> sheet;
        ServerPtr edited;
        std::unique_ptr<QSignalSpy> renamed;
        if (source == u"edit") {
            edited = std::make_shared<Server>(u"a:b@h.example:1"_s, chacha, false);
            m_catalogue->groups.addServer(edited);
            renamed = std::make_unique<QSignalSpy>(edited.get(), &Server::nameChanged);
            sheet = EditServerSheet::open(edited, m_catalogue->groups, nullptr);
            QCOMPARE(shown<QComboBox>(sheet, u"Encryption"_s)->currentText(), caseName(chacha.cipher));
        } else if (source.isEmpty()) {
            sheet = openBlankForm();
            type(sheet, u"Host"_s, u"10.0.0.1"_s);
            type(sheet, u"Port"_s, u"8388"_s);
            type(sheet, u"Password"_s, u"secret"_s);
        } else {
            sheet = openImport();
            follow(sheet, u"Proxy URI"_s, source);
            click(sheet, u"Next"_s);
            QCOMPARE(sheet->stack()->depth(), 3);
            QVERIFY(top<ServerFormScreen>(sheet));
            QVERIFY(!shown(sheet, u"Next"_s));
            QVERIFY(shown(sheet, u"VLESS"_s)->isChecked());
        }
        if (!typedName.isEmpty())
            type(sheet, u"Name"_s, typedName);
        if (!switchTo.isEmpty()) {
            QTest::mouseClick(shown(sheet, switchTo), Qt::LeftButton);
            type(sheet, u"UUID"_s, u"id-1"_s);
        }
        QStringList shownRows;
        for (const QString &label : { u"Security"_s, u"Flow"_s, u"SNI"_s, u"Fingerprint"_s }) {
            if (auto *value = shown<QLabel>(sheet, label))
                shownRows.append(label + u'=' + value->text());
        }
        QCOMPARE(shownRows, rows);
        // The server changes only on Done.
        QVERIFY(!edited || (edited->settings() == ServerSettings(chacha) && renamed->isEmpty()));
        click(sheet, u"Done"_s);
        QTRY_VERIFY(sheet.isNull());

        QCOMPARE(m_catalogue->groups.manualGroup()->servers().size(), 1);
        const ServerPtr server = m_catalogue->groups.manualGroup()->servers().first();
        if (edited)
            QVERIFY(server == edited && renamed->count() == 1);
        else
            QCOMPARE(m_catalogue->groups.selectedServer(), server);
        QCOMPARE(server->name(), name);
        QCOMPARE(server->originalName(), originalName);
        QVERIFY(!server->isInSubscription());
        QVERIFY(server->settings() == expected);
        // Stored, not only changed in memory.
        QVERIFY(GroupCollection::load(m_catalogue->store)->findServer(server->id())->settings() == expected);
    }

    // A subscription's server only shows its fields: nothing can be changed, saved or deleted.
    void subscriptionServerIsReadOnly()
    {
        const ServerPtr server = std::make_shared<Server>(
            u"Sub"_s, ShadowsockSettings { u"s.example"_s, 1, ShadowsocksCipher::aes128Gcm, u"pw"_s }, true);
        m_catalogue->groups.addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"S"_s, u"https://s.example"_s, true }, QList<ServerPtr> { server }));
        const QPointer<Sheet> sheet = EditServerSheet::open(server, m_catalogue->groups, nullptr);
        for (const QString &input : { u"Name"_s, u"Host"_s, u"Port"_s, u"Password"_s, u"Encryption"_s, u"Shadowsocks"_s,
                 u"VMess"_s, u"Done"_s, u"Delete"_s })
            QVERIFY2(!shown<QWidget>(sheet, input)->isEnabled(), qPrintable(input));
        click(sheet, u"Close"_s);
        QTRY_VERIFY(sheet.isNull());
        QCOMPARE(server->name(), u"Sub"_s);
        QCOMPARE(m_catalogue->groups.allServers().size(), 1);
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
        const ServerPtr keep = makeTestServer(u"Keep"_s);
        const ServerPtr server = makeTestServer(u"Doomed"_s);
        m_catalogue->groups.addServer(keep);
        m_catalogue->groups.addServer(server);
        m_catalogue->groups.setSelectedServer(server);
        const QPointer<Sheet> sheet = EditServerSheet::open(server, m_catalogue->groups, nullptr);
        click(sheet, u"Delete"_s);
        QMessageBox *confirmation = EditServerSheet::confirmation(sheet);
        QVERIFY(confirmation);
        QCOMPARE(confirmation->windowTitle(), u"Do you with to delete this server?"_s);
        // Nothing goes before the answer.
        QCOMPARE(m_catalogue->groups.manualGroup()->servers().size(), 2);
        QTest::mouseClick(withText(confirmation->buttons(), answer), Qt::LeftButton);

        QTRY_VERIFY(!EditServerSheet::confirmation(sheet));
        QTRY_COMPARE(sheet.isNull(), deleted);
        QCOMPARE(m_catalogue->groups.manualGroup()->servers().size(), deleted ? 1 : 2);
        QCOMPARE(m_catalogue->groups.selectedServer(), deleted ? keep : server);
        if (!deleted)
            sheet->close();
    }

    void proxyUriNext_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("alert");
        QTest::newRow("no link") << u"paste it here"_s << false << QString();
        QTest::newRow("web link") << u"https://example.com/x"_s << true << u"Unsupported protocol"_s;
        // The whole text is one URI to the parser.
        QTest::newRow("two URIs") << twoServers.trimmed() << true << u"Invalid format"_s;
    }

    // A text that cannot be read stays for correction.
    void proxyUriNext()
    {
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QFETCH(QString, alert);
        const QPointer<Sheet> sheet = openImport();
        QVERIFY(follow(sheet, u"Proxy URI"_s, text));
        QCOMPARE(shown(sheet, u"Next"_s)->isEnabled(), enabled);
        if (enabled) {
            click(sheet, u"Next"_s);
            const Alert &shownAlert = top<AddProxyByURIScreen>(sheet)->alert();
            QVERIFY(shownAlert.isShown());
            QCOMPARE((QStringList { shownAlert.title(), shownAlert.message() }),
                (QStringList { u"Cannot parse proxy URI"_s, alert }));
            QVERIFY(shownAlert.box()->text().contains(alert));
            QCOMPARE(sheet->stack()->depth(), 2);
            QCOMPARE(shown<QPlainTextEdit>(sheet, u"Proxy URI"_s)->toPlainText(), text);
            top<AddProxyByURIScreen>(sheet)->alert().close();
        }
        QVERIFY(m_catalogue->groups.isEmpty());
        sheet->close();
    }

    void subscriptionSave_data()
    {
        QTest::addColumn<QString>("urlText");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        // Empty: saved; "*": any.
        QTest::addColumn<QString>("alert");
        QTest::newRow("two servers") << u"%1"_s << 200 << twoServers << QString();
        QTest::newRow("no servers") << u"%1"_s << 200 << u"nothing to see"_s
                                    << u"No servers found in the provided subscription URL"_s;
        QTest::newRow("not found") << u"%1"_s << 404 << QString() << u"No data received"_s;
        // Done is enabled by the link, but the loader gets the whole text.
        QTest::newRow("link among words") << u"from %1 please"_s << 200 << twoServers << u"*"_s;
    }

    // Added with its first server selected, and stored; or nothing stored.
    void subscriptionSave()
    {
        QFETCH(QString, urlText);
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(QString, alert);
        m_provider->route("/sub", TestHttpServer::Response { .status = status, .body = body.toUtf8() });
        const QPointer<Sheet> sheet = openImport();
        QPlainTextEdit *url = follow(sheet, u"Subscription URL"_s, u"from "_s);
        QVERIFY(url);
        QVERIFY(!shown(sheet, u"Done"_s)->isEnabled());
        url->selectAll();
        QTest::keyClicks(url, urlText.arg(providerUrl()));
        type(sheet, u"Name (Optional)"_s, u"Provider"_s);
        click(sheet, u"Done"_s);
        // One save at a time; a text that is no address fails at once.
        QCOMPARE(shown(sheet, u"Done"_s)->isEnabled(), alert == u"*");
        QCOMPARE(shown<QWidget>(sheet, u"Saving"_s) == nullptr, alert == u"*");

        if (alert.isEmpty()) {
            QTRY_VERIFY(sheet.isNull());
            const auto stored = GroupCollection::load(m_catalogue->store);
            QCOMPARE(stored->subscriptions().size(), 1);
            const ServerGroupPtr group = stored->subscriptions().first();
            QVERIFY(group->type() == GroupType(SubscriptionType { u"Provider"_s, providerUrl(), true }));
            QCOMPARE(group->servers().size(), 2);
            QCOMPARE(stored->selectedServer(), group->servers().first());
            return;
        }
        SubscriptionScreen *screen = top<SubscriptionScreen>(sheet);
        QTRY_VERIFY(screen->alert().isShown());
        QCOMPARE(screen->alert().title(), u"Error getting subscription"_s);
        QVERIFY(alert == u"*" ? !screen->alert().message().isEmpty() : screen->alert().message() == alert);
        // The form stays, ready for another Done.
        QVERIFY(shown(sheet, u"Done"_s)->isEnabled());
        QVERIFY(!shown<QWidget>(sheet, u"Saving"_s));
        QVERIFY(m_catalogue->groups.isEmpty() && !m_catalogue->store.data(u"groups"_s));
        screen->alert().close();
        sheet->close();
    }

    // Closing the import sheet adds nothing; only a subscription can be edited, the manual group shows
    // a message and no Done; the welcome screen asks for the import sheet.
    void closeEditAndWelcome()
    {
        const QPointer<Sheet> sheet = openImport();
        click(sheet, u"Close"_s);
        QTRY_VERIFY(sheet.isNull());
        QVERIFY(m_catalogue->groups.isEmpty());

        ScreenStack stack;
        stack.setRoot(new Screen);
        SubscriptionScreen *screen = SubscriptionScreen::pushForEditing(
            stack, m_catalogue->groups.manualGroup(), m_catalogue->groups, m_loader);
        QCOMPARE(stack.top(), screen);
        QVERIFY(!screen->doneButton());
        QCOMPARE(screen->findChild<QLabel *>()->text(), u"Cannot edit this subscription"_s);

        WelcomeScreen welcome;
        QSignalSpy requested(&welcome, &WelcomeScreen::addServersRequested);
        welcome.show();
        click(&welcome, u"Add servers"_s);
        QCOMPARE(requested.count(), 1);
    }
};

WRENLOW_TEST(ServerSheetsTest)
#include "tst_serversheets.moc"
