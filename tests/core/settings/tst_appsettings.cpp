#include "golden.h"
#include "testregistry.h"

#include "app/application/storageproblems.h"
#include "core/foundation/defaultsstore.h"
#include "core/settings/appsettings.h"
#include "core/settings/appsettingsjson.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <initializer_list>
#include <limits>
#include <memory>
#include <utility>

Q_DECLARE_METATYPE(AppSettings)

// Found by QCOMPARE through ADL, so a mismatch prints the documents instead of "(null)".
char *toString(const AppSettings &settings)
{
    return qstrdup(json::serialize(encodeAppSettings(settings)).constData());
}

namespace {

// Every field away from its default, keys deliberately not in the written order.
const QByteArray richDocument = R"({"general":{"connectOnStart":true},"geoIP":{"isEnabled":true,"regions":[)"
                                R"({"label":"Japan","value":".jp"},{"label":"Côte d’Ivoire","value":".ci"}]},)"
                                R"("routing":{"directDomains":[{"domain":"example.com","type":{"fullDomain":{}}},)"
                                R"({"domain":"lan","type":{"rootDomain":{}}}],"proxyDomains":[{"domain":)"
                                R"("video.example","type":{"rootDomain":{}}}],"blockDomains":[{"domain":)"
                                R"("ads.example","type":{"fullDomain":{}}}]},"dns":{"prioritizeLocalDNS":false,)"
                                R"("address":["9.9.9.9"]},"network":{"transparentProxy":false,"httpProxyPort":1080,)"
                                R"("httpProxy":true,"systemProxy":false}})";

AppSettings richSettings()
{
    AppSettings s;
    s.general.connectOnStart = true;
    s.geoIP.isEnabled = true;
    s.geoIP.regions = { { QStringLiteral("Japan"), QStringLiteral(".jp") },
        { QStringLiteral("Côte d’Ivoire"), QStringLiteral(".ci") } };
    s.routing.directDomains = { { QStringLiteral("example.com"), DomainRuleType::fullDomain },
        { QStringLiteral("lan"), DomainRuleType::rootDomain } };
    s.routing.proxyDomains = { { QStringLiteral("video.example"), DomainRuleType::rootDomain } };
    s.routing.blockDomains = { { QStringLiteral("ads.example"), DomainRuleType::fullDomain } };
    s.dns.prioritizeLocalDNS = false;
    s.dns.address = { QStringLiteral("9.9.9.9") };
    s.network = NetworkSettings { false, true, false, 1080 };
    return s;
}

template <typename Change> AppSettings rich(Change change)
{
    AppSettings s = richSettings();
    change(s);
    return s;
}

// Row ids are random by design; comparisons look at what is stored.
AppSettings withoutIds(AppSettings s)
{
    for (auto *list : { &s.routing.directDomains, &s.routing.proxyDomains, &s.routing.blockDomains }) {
        for (auto &item : *list)
            item.id = QUuid();
    }
    return s;
}

// The rich document with each pointed-at value replaced, or removed when the replacement is null.
QByteArray edited(std::initializer_list<std::pair<const char *, const char *>> edits)
{
    Json document = Json::parse(richDocument.toStdString());
    for (const auto &[pointer, replacement] : edits) {
        const Json::json_pointer path(pointer);
        if (replacement)
            document[path] = Json::parse(replacement);
        else
            document[path.parent_pointer()].erase(path.back());
    }
    return QByteArray::fromStdString(document.dump());
}

QByteArray edited(const char *pointer, const char *replacement)
{
    return edited({ { pointer, replacement } });
}

QString decodingError(const QByteArray &bytes)
{
    try {
        decodeAppSettings(json::parse(bytes));
    } catch (const DecodingError &error) {
        return error.description();
    }
    return {};
}

} // namespace

class TestAppSettings : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;

    QString settingsPath() const { return m_store->filePath(QStringLiteral("settings")); }

    void writeStored(const QByteArray &bytes)
    {
        QFile file(settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(bytes), bytes.size());
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_store = std::make_unique<DefaultsStore>(m_dir->path());
    }

    void encoding_data()
    {
        QTest::addColumn<QByteArray>("actual");
        QTest::addColumn<QByteArray>("expected");

        // The stored forms, every field in its place.
        QTest::newRow("defaults") << json::serialize(encodeAppSettings(AppSettings {}))
                                  << golden(QStringLiteral("core/settings/golden/appsettings-default"),
                                         encodeAppSettings(AppSettings {}));
        QTest::newRow("every field") << json::serialize(encodeAppSettings(richSettings()))
                                     << golden(QStringLiteral("core/settings/golden/appsettings"),
                                            encodeAppSettings(richSettings()));

        RoutingSettings routing;
        routing.directDomains = { { QStringLiteral("a.example"), DomainRuleType::fullDomain } };
        routing.blockDomains = { { QStringLiteral("b.example"), DomainRuleType::rootDomain } };
        AppSettings withRules;
        withRules.routing = routing;
        QTest::newRow("domain items without id")
            << json::serialize(encodeAppSettings(withRules)["routing"])
            << QByteArray(R"({"directDomains":[{"domain":"a.example","type":{"fullDomain":{}}}],"proxyDomains":[],)"
                          R"("blockDomains":[{"domain":"b.example","type":{"rootDomain":{}}}]})");

        // The tunnel receives the network member on its own.
        QTest::newRow("network alone")
            << json::serialize(encodeNetworkSettings(NetworkSettings { false, true, false, 65535 }))
            << QByteArray(R"({"transparentProxy":false,"httpProxyPort":65535,"httpProxy":true,"systemProxy":false})");
    }

    void encoding()
    {
        QFETCH(QByteArray, actual);
        QFETCH(QByteArray, expected);
        QCOMPARE(actual, expected);
    }

    void roundTrip_data()
    {
        QTest::addColumn<AppSettings>("settings");

        QTest::newRow("every field changed") << richSettings();
        QTest::newRow("empty lists") << rich([](AppSettings &s) {
            s.geoIP.regions.clear();
            s.dns.address.clear();
            s.routing = {};
        });
        QTest::newRow("lowest port") << rich(
            [](AppSettings &s) { s.network.httpProxyPort = std::numeric_limits<qint64>::min(); });
        QTest::newRow("highest port") << rich(
            [](AppSettings &s) { s.network.httpProxyPort = std::numeric_limits<qint64>::max(); });
        QTest::newRow("text needing escapes") << rich([](AppSettings &s) {
            s.routing.blockDomains[0].domain = QStringLiteral("q\"b\\s/\n\t") + QChar(u'\0') + QStringLiteral("😀");
            s.dns.address = { QString(), QStringLiteral("::1") };
        });
    }

    void roundTrip()
    {
        QFETCH(AppSettings, settings);
        const AppSettings decoded = decodeAppSettings(json::parse(json::serialize(encodeAppSettings(settings))));
        QCOMPARE(withoutIds(decoded), withoutIds(settings));
    }

    void decodesLeniently_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<AppSettings>("expected");

        const auto optionalMembersDefaulted = rich([](AppSettings &s) {
            s.general = {};
            s.routing = {};
            s.network = {};
        });
        QTest::newRow("complete") << richDocument << richSettings();
        QTest::newRow("only dns and geoIP")
            << edited({ { "/general", nullptr }, { "/routing", nullptr }, { "/network", nullptr } })
            << optionalMembersDefaulted;
        QTest::newRow("null general, routing and network")
            << edited({ { "/general", "null" }, { "/routing", "null" }, { "/network", "null" } })
            << optionalMembersDefaulted;
        QTest::newRow("empty network") << edited("/network", "{}") << rich([](AppSettings &s) { s.network = {}; });
        QTest::newRow("network with httpProxy only")
            << edited("/network", R"({"httpProxy":true})") << rich([](AppSettings &s) {
                   s.network = {};
                   s.network.httpProxy = true;
               });
        QTest::newRow("null network members") << edited(
            "/network", R"({"transparentProxy":null,"httpProxyPort":3128,"httpProxy":null,"systemProxy":null})")
                                              << rich([](AppSettings &s) {
                                                     s.network = {};
                                                     s.network.httpProxyPort = 3128;
                                                 });
        QTest::newRow("port 0") << edited("/network/httpProxyPort", "0")
                                << rich([](AppSettings &s) { s.network.httpProxyPort = 0; });
        QTest::newRow("port 70000") << edited("/network/httpProxyPort", "70000")
                                    << rich([](AppSettings &s) { s.network.httpProxyPort = 70000; });
        QTest::newRow("negative port") << edited("/network/httpProxyPort", "-1")
                                       << rich([](AppSettings &s) { s.network.httpProxyPort = -1; });
        // Other JSON writers put whole numbers so.
        QTest::newRow("port as float") << edited("/network/httpProxyPort", "8080.0")
                                       << rich([](AppSettings &s) { s.network.httpProxyPort = 8080; });
        QTest::newRow("port with exponent") << edited("/network/httpProxyPort", "3.128e3")
                                            << rich([](AppSettings &s) { s.network.httpProxyPort = 3128; });
        QTest::newRow("unknown keys everywhere") << edited({ { "/version", "2" }, { "/dns/servers", "[1]" },
            { "/network/socksProxy", "true" }, { "/general/theme", "\"dark\"" }, { "/geoIP/regions/0/flag", "null" },
            { "/routing/directDomains/0/id", "\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"" },
            { "/routing/directDomains/0/type/note", "{}" },
            { "/routing/blockDomains/0/type/fullDomain", R"({"payload":1})" } })
                                                 << richSettings();
    }

    void decodesLeniently()
    {
        QFETCH(QByteArray, document);
        QFETCH(AppSettings, expected);
        QCOMPARE(withoutIds(decodeAppSettings(json::parse(document))), withoutIds(expected));
    }

    void rejects_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("error");

        const auto missing
            = [](const char *key) { return QStringLiteral("No value for key \"%1\".").arg(QLatin1String(key)); };
        const auto expected = [](const char *wanted, const char *found) {
            return QStringLiteral("Expected %1 but found %2.").arg(QLatin1String(wanted), QLatin1String(found));
        };
        const QString oneKey = QString::fromLatin1(json::oneKeyMessage);

        QTest::newRow("top level array") << QByteArray("[]") << expected("an object", "array");
        QTest::newRow("missing dns") << edited("/dns", nullptr) << missing("dns");
        QTest::newRow("missing geoIP") << edited("/geoIP", nullptr) << missing("geoIP");
        QTest::newRow("null dns") << edited("/dns", "null") << expected("an object", "null");
        QTest::newRow("general without its key") << edited("/general", "{}") << missing("connectOnStart");
        QTest::newRow("routing list missing") << edited("/routing/blockDomains", nullptr) << missing("blockDomains");
        QTest::newRow("region without value") << edited("/geoIP/regions/1/value", nullptr) << missing("value");
        QTest::newRow("dns address text") << edited("/dns/address", "\"8.8.8.8\"") << expected("an array", "string");
        QTest::newRow("network not object") << edited("/network", "true") << expected("an object", "boolean");
        QTest::newRow("port fraction") << edited("/network/httpProxyPort", "8080.5")
                                       << expected("an integer", "number");
        QTest::newRow("port text") << edited("/network/httpProxyPort", "\"8080\"") << expected("an integer", "string");
        QTest::newRow("port beyond 64 bits") << edited("/network/httpProxyPort", "9223372036854775808")
                                             << QStringLiteral("The number does not fit a 64-bit integer.");
        QTest::newRow("item without type") << edited("/routing/directDomains/1/type", nullptr) << missing("type");
        QTest::newRow("rule type both cases")
            << edited("/routing/directDomains/0/type", R"({"fullDomain":{},"rootDomain":{}})") << oneKey;
        QTest::newRow("rule type empty") << edited("/routing/proxyDomains/0/type", "{}") << oneKey;
        QTest::newRow("rule type unknown case") << edited("/routing/proxyDomains/0/type", R"({"regex":{}})") << oneKey;
        QTest::newRow("rule type as text")
            << edited("/routing/directDomains/0/type", "\"fullDomain\"") << expected("an object", "string");
        QTest::newRow("rule case value not object")
            << edited("/routing/directDomains/0/type", R"({"fullDomain":true})") << expected("an object", "boolean");
    }

    void rejects()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, error);
        QCOMPARE(decodingError(document), error);
    }

    void domainItemIdsAreFreshPerDecode()
    {
        // The stored id is ignored as well: ids only tell the editor's rows apart.
        const QByteArray document = edited("/routing/directDomains/0/id", "\"3F2504E0-4F89-11D3-9A0C-0305E82C3301\"");
        const auto first = decodeAppSettings(json::parse(document)).routing.directDomains;
        const auto second = decodeAppSettings(json::parse(document)).routing.directDomains;
        QCOMPARE(first.size(), 2);
        QCOMPARE(second.size(), first.size());
        QSet<QUuid> ids;
        for (qsizetype i = 0; i < first.size(); ++i) {
            QCOMPARE(second[i].domain, first[i].domain);
            QCOMPARE(second[i].type, first[i].type);
            ids << first[i].id << second[i].id;
        }
        ids << QUuid() << QUuid::fromString(QStringLiteral("3F2504E0-4F89-11D3-9A0C-0305E82C3301"));
        QCOMPARE(ids.size(), 2 * first.size() + 2);
    }

    void loadFallsBackToDefaults_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("nothing stored") << false << QByteArray();
        QTest::newRow("empty file") << true << QByteArray();
        QTest::newRow("not JSON") << true << QByteArray("settings");
        // The routing rules of a document without geoIP are not salvaged.
        QTest::newRow("missing geoIP") << true << edited("/geoIP", nullptr);
        QTest::newRow("rule type both cases")
            << true << edited("/routing/blockDomains/0/type", R"({"fullDomain":{},"rootDomain":{}})");
    }

    void loadFallsBackToDefaults()
    {
        QFETCH(bool, stored);
        QFETCH(QByteArray, bytes);
        if (stored)
            writeStored(bytes);

        QCOMPARE(AppSettings::load(*m_store), AppSettings {});
        // Nothing is repaired in place.
        QCOMPARE(QFileInfo::exists(settingsPath()), stored);
        QCOMPARE(m_store->data(QStringLiteral("settings")).value_or(QByteArray()), bytes);
    }

    void saveReplacesWholeDocument_data()
    {
        QTest::addColumn<QByteArray>("previous");

        QTest::newRow("nothing stored") << QByteArray();
        QTest::newRow("undecodable") << QByteArray("{\"dns\":");
        QTest::newRow("pretty with unknown key") << QByteArray(R"({
            "legacy": 1,
            "dns": {"prioritizeLocalDNS": true, "address": ["8.8.8.8", "1.1.1.1"]},
            "geoIP": {"isEnabled": false, "regions": [{"label": "China", "value": ".cn"}]}
        })");
    }

    void saveReplacesWholeDocument()
    {
        QFETCH(QByteArray, previous);
        if (!previous.isEmpty())
            writeStored(previous);

        AppSettings settings = AppSettings::load(*m_store);
        settings.general.connectOnStart = true;
        settings.save(*m_store);

        const QByteArray expected = golden(QStringLiteral("core/settings/golden/appsettings-default"))
                                        .replace("\"connectOnStart\":false", "\"connectOnStart\":true");
        QCOMPARE(m_store->data(QStringLiteral("settings")).value_or(QByteArray()), expected);
        QCOMPARE(AppSettings::load(*m_store), settings);
    }

    // Settings that do not decode are told to the user once, with where the copy is; a failed save
    // is told once per streak and to the caller.
    void storageProblemsReachTheUser()
    {
        writeStored("{\"dns\":");
        StorageProblems problems(*m_store);
        QSignalSpy reported(&problems, &StorageProblems::problemFound);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^The stored settings do not decode")));
        AppSettings settings = AppSettings::load(*m_store);
        QCOMPARE(settings, AppSettings {});
        QTRY_COMPARE(reported.count(), 1);
        const QStringList copies
            = QDir(m_store->directory()).entryList({ QStringLiteral("settings.unreadable-*.json") }, QDir::Files);
        QCOMPARE(copies.size(), 1);
        QCOMPARE(reported.first().at(0).toString(), QStringLiteral("Your stored settings could not be read"));
        QVERIFY(reported.first().at(1).toString().contains(QDir(m_store->directory()).filePath(copies.first())));

        // A file where the store's directory should be: no write can succeed.
        QFile blocker(m_dir->filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        DefaultsStore blocked(blocker.fileName() + QStringLiteral("/wrenlow"));
        StorageProblems blockedProblems(blocked);
        QSignalSpy blockedReported(&blockedProblems, &StorageProblems::problemFound);
        settings.general.connectOnStart = true;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Cannot write ")));
        QVERIFY(!settings.save(blocked));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("^Cannot write ")));
        QVERIFY(!settings.save(blocked));
        QTRY_COMPARE(blockedReported.count(), 1);
        QTest::qWait(20);
        QCOMPARE(blockedReported.count(), 1);
        QVERIFY(blockedReported.first().at(1).toString().startsWith(
            QStringLiteral("Wrenlow could not save your settings: the directory ")));
    }

    void loadSurvivesArbitraryBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");

        for (qsizetype length = 1; length < richDocument.size(); ++length)
            QTest::addRow("truncated to %lld", qlonglong(length)) << richDocument.left(length);
        QTest::newRow("invalid UTF-8 in text") << QByteArray(richDocument).replace("lan", "l\xC3\x28n");
        QTest::newRow("lone surrogate escape") << QByteArray(richDocument).replace("lan", "\\ud800");
        QTest::newRow("number overflowing double") << QByteArray(richDocument).replace("1080", "1e400");
        QTest::newRow("port below 64 bits") << QByteArray(richDocument).replace("1080", "-9223372036854775809");
        const QByteArray deep = QByteArray(100000, '[') + QByteArray(100000, ']');
        QTest::newRow("deep arrays as dns")
            << QByteArray(richDocument).replace(R"({"prioritizeLocalDNS":false,"address":["9.9.9.9"]})", deep);
        QTest::newRow("NUL after document") << QByteArray(richDocument + '\0');
    }

    void loadSurvivesArbitraryBytes()
    {
        QFETCH(QByteArray, bytes);
        writeStored(bytes);
        QCOMPARE(AppSettings::load(*m_store), AppSettings {});
    }
};

WRENLOW_TEST(TestAppSettings)
#include "tst_appsettings.moc"
