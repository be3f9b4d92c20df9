#pragma once

#include "core/systemproxy/systemproxy.h"

#include <QByteArray>
#include <QLatin1String>
#include <QList>
#include <QString>

#include <memory>
#include <utility>

// One key of the proxy settings: a gsettings schema and key, or a kioslaverc group and key.
struct ProxySettingKey {
    QString group;
    QString key;
    friend bool operator==(const ProxySettingKey &, const ProxySettingKey &) = default;
};

// A key's value in the text form its tool prints and accepts.
struct ProxySettingValue {
    QString text;
    // False when the user never set the key (KDE: absent; gsettings: at the schema's default).
    // Restoring such a key removes it again rather than writing the value down.
    bool isSet = true;
    friend bool operator==(const ProxySettingValue &, const ProxySettingValue &) = default;
};

struct ProxySettingsReading {
    enum class Status {
        read,
        // The tool runs but the settings do not exist here (no org.gnome.system.proxy schema).
        missingSettings,
        failed,
    };
    Status status = Status::failed;
    // One per key asked for, in the same order, when read.
    QList<ProxySettingValue> values;
};

// The proxy settings one family of programs reads, through its command-line tool.
class ProxySettingsTool {
public:
    virtual ~ProxySettingsTool() = default;

    // The name kept in the marker; makeProxySettingsTool() finds the tool again by it.
    virtual QString name() const = 0;
    // What points the settings at 127.0.0.1:port, in the order to write it: the switch that turns
    // the proxy on comes last, so the desktop never uses a half-written proxy.
    virtual QList<std::pair<ProxySettingKey, QString>> proxyValues(quint16 port) const = 0;
    // The current values; failures are logged.
    virtual ProxySettingsReading read(const QList<ProxySettingKey> &keys) const = 0;
    // Writes the value, or removes the key when the value is not set; failures are logged.
    virtual bool write(const ProxySettingKey &key, const ProxySettingValue &value) const = 0;
    // Tells running programs to re-read their settings, for tools whose programs only read them at
    // start. Failure does not matter.
    virtual void announceChange() const { }
};

inline constexpr QLatin1String gsettingsToolName("gsettings");
inline constexpr QLatin1String kioslavercToolName("kioslaverc");

// The tool of that name, or nullptr when its programs are not installed.
std::unique_ptr<ProxySettingsTool> makeProxySettingsTool(
    const QString &name, const SystemProxyEnvironment &environment);
std::unique_ptr<ProxySettingsTool> makeGSettingsTool(const SystemProxyEnvironment &environment);
std::unique_ptr<ProxySettingsTool> makeKioslavercTool(const SystemProxyEnvironment &environment);

// The executable of that name in the search path, or an empty string.
QString findTool(const SystemProxyEnvironment &environment, const QString &name);

struct ToolOutput {
    bool succeeded = false;
    QByteArray standardOutput;
    // Why it failed, with the tool's own error output, ready for the log.
    QString failure;
};

// Runs a program to its end within the time limit; one that does not end in time is killed.
ToolOutput runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
    std::chrono::milliseconds timeout);
