// The GNOME family's proxy settings, which GTK and GIO programs read: the org.gnome.system.proxy
// schemas, through the gsettings program, whichever back end (dconf, keyfile) it uses.
#include "core/foundation/log.h"
#include "core/systemproxy/systemproxytool.h"

#include <QHash>

namespace {

const QString proxySchema = QStringLiteral("org.gnome.system.proxy");

// "schema key value" lines, as `gsettings list-recursively` prints them; values are in GVariant
// text form, which escapes line breaks, so one line is one key.
QHash<QString, QString> parseListing(const QByteArray &output)
{
    QHash<QString, QString> values;
    for (const QByteArray &line : output.split('\n')) {
        const qsizetype schemaEnd = line.indexOf(' ');
        const qsizetype keyEnd = schemaEnd < 0 ? -1 : line.indexOf(' ', schemaEnd + 1);
        if (keyEnd < 0)
            continue;
        values.insert(QString::fromUtf8(line.first(keyEnd)), QString::fromUtf8(line.sliced(keyEnd + 1)));
    }
    return values;
}

QString listingId(const ProxySettingKey &key)
{
    return key.group + u' ' + key.key;
}

class GSettingsTool final : public ProxySettingsTool {
public:
    GSettingsTool(QString program, const SystemProxyEnvironment &environment)
        : m_program(std::move(program))
        , m_environment(environment.toolEnvironment)
        , m_timeout(environment.toolTimeout)
    {
    }

    QString name() const override { return gsettingsToolName; }

    QList<std::pair<ProxySettingKey, QString>> proxyValues(quint16 port) const override
    {
        const QString http = proxySchema + QStringLiteral(".http");
        const QString https = proxySchema + QStringLiteral(".https");
        const QString host = QStringLiteral("'127.0.0.1'");
        const QString portText = QString::number(port);
        return {
            { { http, QStringLiteral("host") }, host },
            { { http, QStringLiteral("port") }, portText },
            { { https, QStringLiteral("host") }, host },
            { { https, QStringLiteral("port") }, portText },
            { { proxySchema, QStringLiteral("ignore-hosts") }, QStringLiteral("['localhost', '127.0.0.0/8', '::1']") },
            { { proxySchema, QStringLiteral("mode") }, QStringLiteral("'manual'") },
        };
    }

    ProxySettingsReading read(const QList<ProxySettingKey> &keys) const override
    {
        ProxySettingsReading reading;
        // One call lists the schema and its children (http, https, ...) together.
        const ToolOutput current = run({ QStringLiteral("list-recursively"), proxySchema }, m_environment);
        if (!current.succeeded) {
            if (lacksSchema()) {
                reading.status = ProxySettingsReading::Status::missingSettings;
                return reading;
            }
            logError(current.failure);
            return reading;
        }
        // The memory back end holds nothing, so it shows the schema's defaults: a value equal to
        // its default counts as one the user never set, and restoring it resets the key.
        QProcessEnvironment defaultsEnvironment = m_environment;
        defaultsEnvironment.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
        const ToolOutput defaults = run({ QStringLiteral("list-recursively"), proxySchema }, defaultsEnvironment);
        if (!defaults.succeeded) {
            logError(defaults.failure);
            return reading;
        }

        const QHash<QString, QString> currentValues = parseListing(current.standardOutput);
        const QHash<QString, QString> defaultValues = parseListing(defaults.standardOutput);
        for (const ProxySettingKey &key : keys) {
            const auto value = currentValues.constFind(listingId(key));
            if (value == currentValues.cend()) {
                logError(QStringLiteral("gsettings does not list the key %1 %2").arg(key.group, key.key));
                reading.values.clear();
                return reading;
            }
            const auto byDefault = defaultValues.constFind(listingId(key));
            reading.values.append({ *value, byDefault == defaultValues.cend() || *byDefault != *value });
        }
        reading.status = ProxySettingsReading::Status::read;
        return reading;
    }

    bool write(const ProxySettingKey &key, const ProxySettingValue &value) const override
    {
        const QStringList arguments = value.isSet
            ? QStringList { QStringLiteral("set"), key.group, key.key, value.text }
            : QStringList { QStringLiteral("reset"), key.group, key.key };
        const ToolOutput output = run(arguments, m_environment);
        if (!output.succeeded)
            logError(output.failure);
        return output.succeeded;
    }

private:
    ToolOutput run(const QStringList &arguments, const QProcessEnvironment &environment) const
    {
        return runTool(m_program, arguments, environment, m_timeout);
    }

    // Only asked after a failed listing, so the usual case costs one call.
    bool lacksSchema() const
    {
        const ToolOutput schemas = run({ QStringLiteral("list-schemas") }, m_environment);
        if (!schemas.succeeded || schemas.standardOutput.split('\n').contains(proxySchema.toUtf8()))
            return false;
        logInfo(
            QStringLiteral("gsettings has no %1 schema here; GTK programs keep their proxy settings").arg(proxySchema));
        return true;
    }

    QString m_program;
    QProcessEnvironment m_environment;
    std::chrono::milliseconds m_timeout;
};

} // namespace

std::unique_ptr<ProxySettingsTool> makeGSettingsTool(const SystemProxyEnvironment &environment)
{
    QString program = findTool(environment, QStringLiteral("gsettings"));
    if (program.isEmpty())
        return nullptr;
    return std::make_unique<GSettingsTool>(std::move(program), environment);
}
