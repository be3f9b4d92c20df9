#include "core/catalogue/server.h"
#include "testregistry.h"

#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

class HostFromNameTest final : public QObject {
    Q_OBJECT

    // What the clean-up must agree with; "." spelled out as "anything but a line break".
    static std::optional<QString> byRegex(const QString &name)
    {
        static const QRegularExpression pattern(QStringLiteral(
            "([^\\n\\x0B\\f\\r\\x{85}\\x{2028}\\x{2029}]+?)@([^\\n\\x0B\\f\\r\\x{85}\\x{2028}\\x{2029}]+?):([0-9]+)"));
        const auto match = pattern.match(name);
        if (!match.hasMatch())
            return std::nullopt;
        return match.captured(2);
    }

private Q_SLOTS:
    void cleanUp_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");
        QTest::newRow("cipher:password@host:port")
            << QStringLiteral("aes-256-gcm:pw@example.com:8388") << QStringLiteral("example.com");
        QTest::newRow("minimal") << QStringLiteral("a@b:1") << QStringLiteral("b");
        QTest::newRow("digits need not end the name") << QStringLiteral("x@y:12abc") << QStringLiteral("y");
        QTest::newRow("first @ wins") << QStringLiteral("a@b@c:1") << QStringLiteral("b@c");
        QTest::newRow("lazy host stops at first colon-digit") << QStringLiteral("a@h:x:1:2") << QStringLiteral("h:x");
        QTest::newRow("nothing before @") << QStringLiteral("@b:1") << QStringLiteral("@b:1");
        QTest::newRow("@ at start, later @ matches") << QStringLiteral("@a@b:1") << QStringLiteral("b");
        QTest::newRow("no colon") << QStringLiteral("user@host") << QStringLiteral("user@host");
        QTest::newRow("colon without digit") << QStringLiteral("a@b:x") << QStringLiteral("a@b:x");
        QTest::newRow("empty host") << QStringLiteral("a@:1") << QStringLiteral("a@:1");
        QTest::newRow("line break between") << QStringLiteral("a@b\n:1") << QStringLiteral("a@b\n:1");
        QTest::newRow("match on a later line") << QStringLiteral("x\nuser@h:9") << QStringLiteral("h");
        QTest::newRow("plain name") << QStringLiteral("Tokyo 1") << QStringLiteral("Tokyo 1");
        QTest::newRow("empty") << QString() << QString();
    }

    void cleanUp()
    {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        const Server server(name, VLESSSettings {}, true);
        QCOMPARE(server.name(), shown);
        QCOMPARE(server.originalName(), name);
    }

    // The linear scan must pick the same text as the pattern on any input.
    void agreesWithPatternOnRandomNames()
    {
        const QString alphabet = QStringLiteral("ab@:1\n\r.x");
        QRandomGenerator random(20261206);
        for (int round = 0; round < 20000; ++round) {
            QString name;
            const int length = random.bounded(0, 14);
            for (int i = 0; i < length; ++i)
                name.append(alphabet.at(random.bounded(alphabet.size())));
            const auto expected = byRegex(name);
            const auto actual = hostFromName(name);
            if (actual != expected)
                QFAIL(qPrintable(
                    QStringLiteral("differs for %1").arg(QString::fromLatin1(name.toUtf8().toPercentEncoding()))));
        }
    }

    // Names come from subscriptions; a long hostile one must not take quadratic time.
    void longNameIsLinear()
    {
        QString name;
        for (int i = 0; i < 200000; ++i)
            name.append(QStringLiteral("@:"));
        name.append(QStringLiteral("@x:1"));
        // the host runs from after the second "@" to the only ":" that a digit follows
        QCOMPARE(hostFromName(name), std::optional<QString>(name.mid(3, name.size() - 2 - 3)));
    }
};

WRENLOW_TEST(HostFromNameTest)
#include "tst_hostfromname.moc"
