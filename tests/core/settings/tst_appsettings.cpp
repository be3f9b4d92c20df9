#include "golden.h"
#include "testregistry.h"

#include "core/foundation/defaultsstore.h"
#include "core/settings/appsettings.h"
#include "core/settings/appsettingsjson.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(AppSettings)

// Found by QCOMPARE through ADL, so a mismatch prints the documents instead of "(null)".
char *toString(const AppSettings &settings)
{
    return qstrdup(json::serialize(encodeAppSettings(settings)).constData());
}

namespace {

const QString richGolden = u"core/settings/golden/appsettings"_s;
const QString defaultGolden = u"core/settings/golden/appsettings-default"_s;

// Every field away from its default: the settings of golden/appsettings.json.
AppSettings richSettings()
{
    AppSettings s;
    s.general.connectOnStart = true;
    s.geoIP.isEnabled = true;
    s.geoIP.regions = { { u"Japan"_s, u".jp"_s }, { u"Côte d’Ivoire"_s, u".ci"_s } };
    s.routing.directDomains
        = { { u"example.com"_s, DomainRuleType::fullDomain }, { u"lan"_s, DomainRuleType::rootDomain } };
    s.routing.proxyDomains = { { u"video.example"_s, DomainRuleType::rootDomain } };
    s.routing.blockDomains = { { u"ads.example"_s, DomainRuleType::fullDomain } };
    s.dns.prioritizeLocalDNS = false;
    s.dns.address = { u"9.9.9.9"_s };
    s.network = NetworkSettings { false, true, false, 1080 };
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

// The rich document with edits applied: [pointer, value] replaces, [pointer] removes.
Json edited(const Json &edits)
{
    Json document = json::parse(golden(richGolden));
    for (const Json &edit : edits) {
        const Json::json_pointer path(edit.at(0).get<std::string>());
        if (edit.size() > 1)
            document[path] = edit.at(1);
        else
            document[path.parent_pointer()].erase(path.back());
    }
    return document;
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

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DefaultsStore> m_store;

    QString settingsPath() const { return m_store->filePath(u"settings"_s); }
    QByteArray stored() const { return m_store->data(u"settings"_s).value_or(QByteArray()); }

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

    // The stored forms, every field in its place (domain items without their ids), and values that
    // need care on the way there and back.
    void roundTrip_data()
    {
        QTest::addColumn<AppSettings>("settings");
        QTest::addColumn<QString>("file");
        QTest::newRow("defaults") << AppSettings {} << defaultGolden;
        QTest::newRow("every field") << richSettings() << richGolden;
        AppSettings escapes = richSettings();
        escapes.routing.blockDomains[0].domain = u"q\"b\\s/\n\t"_s + QChar(u'\0') + u"😀"_s;
        escapes.dns.address = { QString(), u"::1"_s };
        QTest::newRow("text needing escapes") << escapes << QString();
    }

    void roundTrip()
    {
        QFETCH(AppSettings, settings);
        QFETCH(QString, file);
        const QByteArray encoded = json::serialize(encodeAppSettings(settings));
        if (!file.isEmpty())
            QCOMPARE(encoded, golden(file, encodeAppSettings(settings)));
        QCOMPARE(withoutIds(decodeAppSettings(json::parse(encoded))), withoutIds(settings));
    }

    // Documents read leniently, and those refused with the error the log shows, from a reviewed
    // table: each is the rich document edited, and reads as the rich one with its own edits.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<QString>("error");
        const Json table = goldenTable(u"core/settings/golden/appsettings-decode"_s);
        QVERIFY(!table.empty());
        for (const auto &[tag, row] : table.items()) {
            const Json document = row.contains("document") ? row["document"] : edited(row["edits"]);
            QTest::newRow(tag.c_str()) << QByteArray::fromStdString(document.dump())
                                       << json::serialize(edited(row.value("reads as", Json::array())))
                                       << (row.contains("error") ? json::toString(row["error"]) : QString());
        }
    }

    void decode()
    {
        QFETCH(QByteArray, document);
        QFETCH(QByteArray, expected);
        QFETCH(QString, error);
        QCOMPARE(decodingError(document), error);
        if (error.isEmpty())
            QCOMPARE(json::serialize(encodeAppSettings(decodeAppSettings(json::parse(document)))), expected);
    }

    // A stored id is ignored too: ids only tell the editor's rows apart.
    void domainItemIdsAreFreshPerDecode()
    {
        const QUuid storedId = QUuid::fromString(u"3F2504E0-4F89-11D3-9A0C-0305E82C3301"_s);
        const QByteArray document = json::serialize(edited(
            Json::array({ Json::array({ "/routing/directDomains/0/id", "3F2504E0-4F89-11D3-9A0C-0305E82C3301" }) })));
        QSet<QUuid> ids { QUuid(), storedId };
        for (int decode = 0; decode < 2; ++decode) {
            for (const DomainItem &item : decodeAppSettings(json::parse(document)).routing.directDomains)
                ids << item.id;
        }
        QCOMPARE(ids.size(), 2 + 2 * 2);
    }

    // Nothing is repaired in place: the file stays as it was.
    void loadFallsBackToDefaults_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("nothing stored") << false << QByteArray();
        QTest::newRow("empty file") << true << QByteArray();
        // The routing rules of a document without geoIP are not salvaged.
        QTest::newRow("missing geoIP") << true << json::serialize(edited(Json::array({ Json::array({ "/geoIP" }) })));
        const QByteArray document = golden(richGolden);
        for (qsizetype length = 1; length < document.size(); ++length)
            QTest::addRow("truncated to %lld", qlonglong(length)) << true << document.left(length);
    }

    void loadFallsBackToDefaults()
    {
        QFETCH(bool, exists);
        QFETCH(QByteArray, bytes);
        if (exists)
            writeStored(bytes);
        QCOMPARE(AppSettings::load(*m_store), AppSettings {});
        QCOMPARE(QFileInfo::exists(settingsPath()), exists);
        QCOMPARE(stored(), bytes);
    }

    void saveReplacesWholeDocument_data()
    {
        QTest::addColumn<QByteArray>("previous");
        QTest::newRow("nothing stored") << QByteArray();
        QTest::newRow("pretty with unknown key") << QByteArray(R"({ "legacy": 1,
            "dns": {"prioritizeLocalDNS": true, "address": ["8.8.8.8", "1.1.1.1"]},
            "geoIP": {"isEnabled": false, "regions": [{"label": "China", "value": ".cn"}]} })");
    }

    void saveReplacesWholeDocument()
    {
        QFETCH(QByteArray, previous);
        if (!previous.isEmpty())
            writeStored(previous);
        AppSettings settings = AppSettings::load(*m_store);
        settings.general.connectOnStart = true;
        settings.save(*m_store);
        QCOMPARE(stored(), golden(defaultGolden).replace("\"connectOnStart\":false", "\"connectOnStart\":true"));
        QCOMPARE(AppSettings::load(*m_store), settings);
    }
};

WRENLOW_TEST(TestAppSettings)
#include "tst_appsettings.moc"
