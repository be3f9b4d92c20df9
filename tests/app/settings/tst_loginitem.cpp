#include "app/platform/loginitem.h"
#include "testregistry.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(LoginItemStatus)

class LoginItemTest final : public QObject {
    Q_OBJECT

    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private Q_SLOTS:
    void execArgument_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << u"/usr/bin/wrenlow"_s << u"/usr/bin/wrenlow"_s;
        QTest::newRow("spaces") << u"/opt/My Apps/wrenlow"_s << u"\"/opt/My Apps/wrenlow\""_s;
        QTest::newRow("quote and dollar") << u"/opt/a\"b$c/wrenlow"_s << u"\"/opt/a\\\\\"b\\\\$c/wrenlow\""_s;
        QTest::newRow("backslash") << u"/opt/a\\b"_s << u"\"/opt/a\\\\\\\\b\""_s;
        QTest::newRow("percent") << u"/opt/100%/wrenlow"_s << u"/opt/100%%/wrenlow"_s;
        QTest::newRow("single quote") << u"/opt/it's/wrenlow"_s << u"\"/opt/it's/wrenlow\""_s;
    }

    void execArgument()
    {
        QFETCH(QString, path);
        QFETCH(QString, exec);
        QCOMPARE(LoginItem::execArgument(path), exec);
    }

    void registerAndUnregister()
    {
        QTemporaryDir dir;
        LoginItem item(dir.path() + u"/config/autostart"_s, u"/opt/My Apps/wrenlow"_s);
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);
        item.registerItem();
        QCOMPARE(item.status(), LoginItemStatus::enabled);
        QFile file(item.entryPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QCOMPARE(lines.first(), u"[Desktop Entry]"_s);
        QVERIFY(lines.contains(u"Exec=\"/opt/My Apps/wrenlow\""_s));
        QVERIFY(lines.contains(u"X-GNOME-Autostart-enabled=true"_s));
        QVERIFY(lines.contains(u"Type=Application"_s));
        // Registering again over our own entry is harmless.
        item.registerItem();
        item.unregisterItem();
        QVERIFY(!QFile::exists(item.entryPath()));
        QCOMPARE(item.status(), LoginItemStatus::notRegistered);
        item.unregisterItem();
    }

    void hiddenEntryIsNotEnabled_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<LoginItemStatus>("status");
        QTest::newRow("hidden") << "[Desktop Entry]\nExec=wrenlow\nHidden=true\n"_ba << LoginItemStatus::notRegistered;
        QTest::newRow("hidden with spaces") << "[Desktop Entry]\nHidden = true\n"_ba << LoginItemStatus::notRegistered;
        QTest::newRow("not hidden") << "[Desktop Entry]\nHidden=false\n"_ba << LoginItemStatus::enabled;
        QTest::newRow("hidden in another group")
            << "[Desktop Entry]\nExec=wrenlow\n[Desktop Action x]\nHidden=true\n"_ba << LoginItemStatus::enabled;
    }

    void hiddenEntryIsNotEnabled()
    {
        QFETCH(QByteArray, entry);
        QFETCH(LoginItemStatus, status);
        QTemporaryDir dir;
        LoginItem item(dir.path(), u"/usr/bin/wrenlow"_s);
        write(item.entryPath(), entry);
        QCOMPARE(item.status(), status);
    }

    void currentUserEntryFollowsXdgConfigHome()
    {
        QTemporaryDir dir;
        const QByteArray previous = qgetenv("XDG_CONFIG_HOME");
        const bool hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        const QString path = LoginItem::forCurrentUser().entryPath();
        if (hadPrevious)
            qputenv("XDG_CONFIG_HOME", previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(path, dir.path() + u"/autostart/wrenlow.desktop"_s);
    }
};

WRENLOW_TEST(LoginItemTest)
#include "tst_loginitem.moc"
