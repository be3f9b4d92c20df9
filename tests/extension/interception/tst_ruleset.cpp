#include "interception/ruleset.h"
#include "testregistry.h"

#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Runs a shell command in a network namespace of its own, so the host's rules are never touched.
std::pair<int, QByteArray> inNamespace(const QString &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(u"unshare"_s, { u"-rn"_s, u"sh"_s, u"-c"_s, command });
    if (!process.waitForFinished(30000))
        return { -1, "timed out" };
    return { process.exitCode(), process.readAll() };
}

} // namespace

class RulesetTest final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // nftables takes the table as generated, with server addresses of both families, one inside a
    // skipped range; and the table goes with the process that made it, so no rule outlives a killed
    // helper.
    void nftablesTakesTheTableAndDropsItWithItsOwner()
    {
        const InterceptionRules rules { 12345,
            { QHostAddress(u"203.0.113.7"_s), QHostAddress(u"2001:db8::7"_s), QHostAddress(u"10.1.2.3"_s) } };
        QTemporaryFile file;
        QVERIFY(file.open());
        file.write(interceptionRuleset(rules).toUtf8());
        file.flush();

        const auto [checked, checkOutput] = inNamespace(u"nft -c -f "_s + file.fileName());
        QVERIFY2(checked == 0, checkOutput.constData());
        const auto [loaded, listing] = inNamespace(u"nft -f "_s + file.fileName() + u" && nft list tables"_s);
        QVERIFY2(loaded == 0, listing.constData());
        QVERIFY2(!listing.contains("wrenlow"), listing.constData());
    }
};

WRENLOW_TEST(RulesetTest)
#include "tst_ruleset.moc"
