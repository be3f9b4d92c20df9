#include "app/catalogue/subscriptionloader.h"
#include "app/forms/subscriptionviewmodel.h"
#include "core/catalogue/proxyuriparser.h"
#include "formtesting.h"
#include "httpserver.h"
#include "testregistry.h"
#include "ui/common/alert.h"
#include "ui/common/sheet.h"
#include "ui/forms/importscreens.h"
#include "ui/forms/serverformscreen.h"
#include "ui/forms/subscriptionscreen.h"
#include "ui/welcome/welcomescreen.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

namespace {

const QString twoServers = u"ss://aes-128-gcm:pw@a.example:8388#Alpha\nss://aes-128-gcm:pw@b.example:8388#Beta\n"_s;
const QString vlessUri = u"vless://0b7a6a4e-0000-4000-8000-000000000001@v.example:443?security=reality"
                         "&flow=xtls-rprx-vision&sni=www.example.com&fp=chrome&pbk=KEY&sid=ab&type=tcp#Edge"_s;

// The sheet's top screen as the given type.
template <typename T> T *top(Sheet *sheet)
{
    return qobject_cast<T *>(sheet->stack()->top());
}

// Follows a chooser row and types into the screen's editor, which has the focus.
QPlainTextEdit *follow(Sheet *sheet, const QString &row, const QString &text)
{
    QTest::mouseClick(shownButton(sheet, row), Qt::LeftButton);
    auto *editor = qobject_cast<QPlainTextEdit *>(sheet->focusWidget());
    if (!editor)
        return nullptr;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            QTest::keyClick(editor, Qt::Key_Return);
        QTest::keyClicks(editor, lines[i]);
    }
    return editor;
}

} // namespace

class ImportSheetTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<TestHttpServer> m_provider;
    SubscriptionLoader m_loader;

    QString providerUrl() const { return m_provider->url(u"/sub"_s).toString(); }

private Q_SLOTS:
    void init()
    {
        m_provider = std::make_unique<TestHttpServer>();
        QVERIFY(m_provider->start());
    }

    void proxyUriNext_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("alert");

        QTest::newRow("empty") << QString() << false << QString();
        QTest::newRow("no link") << u"paste it here"_s << false << QString();
        QTest::newRow("web link") << u"https://example.com/x"_s << true << u"Unsupported protocol"_s;
        // The whole text is one URI to the parser.
        QTest::newRow("two URIs") << twoServers.trimmed() << true << u"Invalid format"_s;
    }

    void proxyUriNext()
    {
        QFETCH(QString, text);
        QFETCH(bool, enabled);
        QFETCH(QString, alert);

        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = AddServerSheet::open(catalogue.groups, m_loader, nullptr);
        QVERIFY(follow(sheet, u"Proxy URI"_s, text));
        QCOMPARE(shownButton(sheet, u"Next"_s)->isEnabled(), enabled);
        if (!enabled) {
            sheet->close();
            return;
        }

        click(sheet, u"Next"_s);
        const Alert &shownAlert = top<AddProxyByURIScreen>(sheet)->alert();
        QVERIFY(shownAlert.isShown());
        QCOMPARE(shownAlert.title(), u"Cannot parse proxy URI"_s);
        QCOMPARE(shownAlert.message(), alert);
        QVERIFY(shownAlert.box()->text().contains(alert));
        // The text stays for correction.
        QCOMPARE(sheet->stack()->depth(), 2);
        QCOMPARE(shown<QPlainTextEdit>(sheet, u"Proxy URI"_s)->toPlainText(), text);
        top<AddProxyByURIScreen>(sheet)->alert().close();
        QVERIFY(catalogue.groups.isEmpty());
        sheet->close();
    }

    void vlessUriGoesToTheForm_data()
    {
        QTest::addColumn<QString>("uri");
        // "label=value" of every read-only row shown.
        QTest::addColumn<QStringList>("rows");

        QTest::newRow("reality") << vlessUri
                                 << QStringList { u"Security=reality"_s, u"Flow=xtls-rprx-vision"_s,
                                        u"SNI=www.example.com"_s, u"Fingerprint=chrome"_s };
        QTest::newRow("plain") << u"vless://id@v.example:443?security=none&type=tcp#Plain"_s << QStringList();
    }

    // A pasted vless URI is completed in the form, and its Done adds it and closes the sheet.
    void vlessUriGoesToTheForm()
    {
        QFETCH(QString, uri);
        QFETCH(QStringList, rows);

        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = AddServerSheet::open(catalogue.groups, m_loader, nullptr);
        follow(sheet, u"Proxy URI"_s, uri);
        click(sheet, u"Next"_s);
        QCOMPARE(sheet->stack()->depth(), 3);
        QVERIFY(top<ServerFormScreen>(sheet));
        QVERIFY(!shownButton(sheet, u"Next"_s));
        QCOMPARE(shownButton(sheet, u"VLESS"_s)->isChecked(), true);

        QStringList shownRows;
        for (const QString &label : { u"Security"_s, u"Flow"_s, u"SNI"_s, u"Fingerprint"_s }) {
            if (auto *value = shown<QLabel>(sheet, label))
                shownRows.append(label + u'=' + value->text());
        }
        QCOMPARE(shownRows, rows);

        click(sheet, u"Done"_s);
        QTRY_VERIFY(sheet.isNull());
        QCOMPARE(catalogue.groups.manualGroup()->servers().size(), 1);
        const ServerPtr added = catalogue.groups.manualGroup()->servers().first();
        QVERIFY(!added->isInSubscription());
        QVERIFY(added->settings() == parseProxyURI(uri)->settings());
    }

    void subscriptionSave_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        // Empty: saved.
        QTest::addColumn<QString>("alert");

        QTest::newRow("two servers") << 200 << twoServers << QString();
        QTest::newRow("no servers") << 200 << u"nothing to see"_s
                                    << u"No servers found in the provided subscription URL"_s;
        QTest::newRow("not found") << 404 << QString() << u"No data received"_s;
    }

    void subscriptionSave()
    {
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(QString, alert);

        m_provider->route("/sub", TestHttpServer::Response { .status = status, .body = body.toUtf8() });
        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = AddServerSheet::open(catalogue.groups, m_loader, nullptr);
        QPlainTextEdit *url = follow(sheet, u"Subscription URL"_s, u"from "_s);
        QVERIFY(url);
        QVERIFY(!shownButton(sheet, u"Done"_s)->isEnabled());
        url->selectAll();
        QTest::keyClicks(url, providerUrl());
        type(sheet, u"Name (Optional)"_s, u"Provider"_s);
        click(sheet, u"Done"_s);
        // One save at a time.
        QVERIFY(!shownButton(sheet, u"Done"_s)->isEnabled());
        QVERIFY(shown<QWidget>(sheet, u"Saving"_s));

        if (alert.isEmpty()) {
            QTRY_VERIFY(sheet.isNull());
            QCOMPARE(catalogue.groups.subscriptions().size(), 1);
            const ServerGroupPtr group = catalogue.groups.subscriptions().first();
            QVERIFY(group->type() == GroupType(SubscriptionType { u"Provider"_s, providerUrl(), true }));
            QCOMPARE(group->servers().size(), 2);
            return;
        }
        SubscriptionScreen *screen = top<SubscriptionScreen>(sheet);
        QTRY_VERIFY(screen->alert().isShown());
        QCOMPARE(screen->alert().title(), u"Error getting subscription"_s);
        QCOMPARE(screen->alert().message(), alert);
        // The form stays, ready for another Done.
        QVERIFY(shownButton(sheet, u"Done"_s)->isEnabled());
        QVERIFY(!shown<QWidget>(sheet, u"Saving"_s));
        QVERIFY(catalogue.groups.isEmpty());
        screen->alert().close();
        sheet->close();
    }

    // Only a subscription can be edited; the manual group shows a message and no Done.
    void editingTheManualGroup()
    {
        TestCatalogue catalogue;
        ScreenStack stack;
        stack.setRoot(new Screen);
        SubscriptionScreen *screen
            = SubscriptionScreen::pushForEditing(stack, catalogue.groups.manualGroup(), catalogue.groups, m_loader);
        QCOMPARE(stack.top(), screen);
        QVERIFY(!screen->doneButton());
        QCOMPARE(screen->findChild<QLabel *>()->text(), u"Cannot edit this subscription"_s);
    }

    void closeAndWelcome()
    {
        TestCatalogue catalogue;
        const QPointer<Sheet> sheet = AddServerSheet::open(catalogue.groups, m_loader, nullptr);
        click(sheet, u"Close"_s);
        QTRY_VERIFY(sheet.isNull());
        QVERIFY(catalogue.groups.isEmpty());

        WelcomeScreen welcome;
        QSignalSpy requested(&welcome, &WelcomeScreen::addServersRequested);
        welcome.show();
        QTest::mouseClick(shownButton(&welcome, u"Add servers"_s), Qt::LeftButton);
        QCOMPARE(requested.count(), 1);
    }
};

WRENLOW_TEST(ImportSheetTest)
#include "tst_importsheet.moc"
