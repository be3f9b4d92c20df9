// KDE's proxy settings: the "Proxy Settings" group of kioslaverc, through kreadconfig and
// kwriteconfig (version 6 for Plasma 6, else 5), so the file keeps KDE's own format and locking.
#include "core/foundation/log.h"
#include "core/systemproxy/systemproxytool.h"

namespace {

const QString kioslaverc = QStringLiteral("kioslaverc");
const QString proxyGroup = QStringLiteral("Proxy Settings");

// kreadconfig prints the default for an absent key; no real setting starts with a control character.
const QString absentMarker = QChar(1) + QStringLiteral("wrenlow-absent");

class KioslavercTool final : public ProxySettingsTool {
public:
    KioslavercTool(
        QString readProgram, QString writeProgram, QString dbusSend, const SystemProxyEnvironment &environment)
        : m_readProgram(std::move(readProgram))
        , m_writeProgram(std::move(writeProgram))
        , m_dbusSend(std::move(dbusSend))
        , m_environment(environment.toolEnvironment)
        , m_timeout(environment.toolTimeout)
    {
    }

    QString name() const override { return kioslavercToolName; }

    QList<std::pair<ProxySettingKey, QString>> proxyValues(quint16 port) const override
    {
        // KDE writes a proxy as its URL, a space and the port.
        const QString proxy = QStringLiteral("http://127.0.0.1 ") + QString::number(port);
        return {
            { { proxyGroup, QStringLiteral("httpProxy") }, proxy },
            { { proxyGroup, QStringLiteral("httpsProxy") }, proxy },
            { { proxyGroup, QStringLiteral("NoProxyFor") }, QStringLiteral("localhost,127.0.0.0/8,::1") },
            // 1: manual proxy configuration
            { { proxyGroup, QStringLiteral("ProxyType") }, QStringLiteral("1") },
        };
    }

    ProxySettingsReading read(const QList<ProxySettingKey> &keys) const override
    {
        ProxySettingsReading reading;
        for (const ProxySettingKey &key : keys) {
            const ToolOutput output = runTool(m_readProgram,
                { QStringLiteral("--file"), kioslaverc, QStringLiteral("--group"), key.group, QStringLiteral("--key"),
                    key.key, QStringLiteral("--default"), absentMarker },
                m_environment, m_timeout);
            if (!output.succeeded) {
                logError(output.failure);
                reading.values.clear();
                return reading;
            }
            QByteArray text = output.standardOutput;
            if (text.endsWith('\n'))
                text.chop(1);
            const QString value = QString::fromUtf8(text);
            if (value == absentMarker)
                reading.values.append({ QString(), false });
            else
                reading.values.append({ value, true });
        }
        reading.status = ProxySettingsReading::Status::read;
        return reading;
    }

    bool write(const ProxySettingKey &key, const ProxySettingValue &value) const override
    {
        QStringList arguments { QStringLiteral("--file"), kioslaverc, QStringLiteral("--group"), key.group,
            QStringLiteral("--key"), key.key };
        if (value.isSet)
            arguments << QStringLiteral("--") << value.text; // a value may start with '-'
        else
            arguments << QStringLiteral("--delete");
        const ToolOutput output = runTool(m_writeProgram, arguments, m_environment, m_timeout);
        if (!output.succeeded)
            logError(output.failure);
        return output.succeeded;
    }

    void announceChange() const override
    {
        if (m_dbusSend.isEmpty())
            return;
        const ToolOutput output = runTool(m_dbusSend,
            { QStringLiteral("--type=signal"), QStringLiteral("/KIO/Scheduler"),
                QStringLiteral("org.kde.KIO.Scheduler.reparseSlaveConfiguration"), QStringLiteral("string:") },
            m_environment, m_timeout);
        // Programs started from now on read the new settings anyway.
        if (!output.succeeded)
            logDebug(output.failure);
    }

private:
    QString m_readProgram;
    QString m_writeProgram;
    QString m_dbusSend;
    QProcessEnvironment m_environment;
    std::chrono::milliseconds m_timeout;
};

} // namespace

std::unique_ptr<ProxySettingsTool> makeKioslavercTool(const SystemProxyEnvironment &environment)
{
    for (const QString &version : { QStringLiteral("6"), QStringLiteral("5") }) {
        QString reader = findTool(environment, QStringLiteral("kreadconfig") + version);
        QString writer = findTool(environment, QStringLiteral("kwriteconfig") + version);
        if (!reader.isEmpty() && !writer.isEmpty())
            return std::make_unique<KioslavercTool>(
                std::move(reader), std::move(writer), findTool(environment, QStringLiteral("dbus-send")), environment);
    }
    return nullptr;
}
