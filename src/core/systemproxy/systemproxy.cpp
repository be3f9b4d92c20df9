#include "core/systemproxy/systemproxy.h"

#include "core/foundation/defaultsstore.h"
#include "core/foundation/jsoncoding.h"
#include "core/foundation/log.h"
#include "core/systemproxy/systemproxytool.h"

#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace {

// The process that applied the settings: its pid and its start time (clock ticks since boot,
// from /proc), so that a later process given the same pid is not taken for it.
struct Owner {
    qint64 pid = 0;
    qint64 started = 0;
};

struct MarkerEntry {
    ProxySettingKey key;
    QString applied;
    ProxySettingValue previous;
};

// What one tool changed.
struct MarkerPart {
    QString tool;
    QList<MarkerEntry> entries;
};

struct Marker {
    quint16 port = 0;
    Owner owner;
    QList<MarkerPart> parts;
};

std::optional<qint64> processStartTime(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses, the rest does not.
    const QByteArray stat = file.readAll();
    const qsizetype nameEnd = stat.lastIndexOf(')');
    if (nameEnd < 0 || nameEnd + 2 > stat.size())
        return std::nullopt;
    const QList<QByteArray> fields = stat.sliced(nameEnd + 2).split(' ');
    // A zombie has ended; only its parent has not collected it yet.
    if (fields.size() < 20 || fields.at(0) == "Z")
        return std::nullopt;
    bool ok = false;
    const qint64 started = fields.at(19).toLongLong(&ok);
    return ok ? std::optional<qint64>(started) : std::nullopt;
}

Owner thisProcess()
{
    const qint64 pid = ::getpid();
    return { pid, processStartTime(pid).value_or(0) };
}

bool isAnotherLiveProcess(const Owner &owner)
{
    return owner.pid != ::getpid() && processStartTime(owner.pid) == owner.started;
}

Json encodeMarker(const Marker &marker)
{
    Json parts = Json::array();
    for (const MarkerPart &part : marker.parts) {
        Json entries = Json::array();
        for (const MarkerEntry &entry : part.entries) {
            Json object = Json::object();
            object["group"] = json::fromString(entry.key.group);
            object["key"] = json::fromString(entry.key.key);
            object["applied"] = json::fromString(entry.applied);
            // null: the key was not set, so restoring removes it
            object["previous"] = entry.previous.isSet ? json::fromString(entry.previous.text) : Json(nullptr);
            entries.push_back(std::move(object));
        }
        Json object = Json::object();
        object["tool"] = json::fromString(part.tool);
        object["entries"] = std::move(entries);
        parts.push_back(std::move(object));
    }
    Json document = Json::object();
    document["port"] = marker.port;
    document["pid"] = marker.owner.pid;
    document["processStart"] = marker.owner.started;
    document["tools"] = std::move(parts);
    return document;
}

Marker decodeMarker(const QByteArray &bytes)
{
    const Json document = json::parse(bytes);
    json::object(document);
    Marker marker;
    const qint64 port = json::int64At(document, "port");
    if (port < 1 || port > 65535)
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, QStringLiteral("The port %1 is out of range.").arg(port));
    marker.port = quint16(port);
    marker.owner = { json::int64At(document, "pid"), json::int64At(document, "processStart") };
    for (const Json &part : json::array(json::member(document, "tools"))) {
        MarkerPart decoded { json::stringAt(json::object(part), "tool"), {} };
        for (const Json &entry : json::array(json::member(part, "entries"))) {
            MarkerEntry decodedEntry;
            decodedEntry.key = { json::stringAt(json::object(entry), "group"), json::stringAt(entry, "key") };
            decodedEntry.applied = json::stringAt(entry, "applied");
            if (const Json *previous = json::optionalMember(entry, "previous"))
                decodedEntry.previous = { json::toString(*previous), true };
            else
                decodedEntry.previous = { QString(), false };
            decoded.entries.append(std::move(decodedEntry));
        }
        marker.parts.append(std::move(decoded));
    }
    return marker;
}

enum class MarkerState { none, present, unreadable };

MarkerState readMarker(DefaultsStore &store, Marker &marker)
{
    const auto bytes = store.data(SystemProxy::markerKey());
    if (!bytes)
        return MarkerState::none;
    try {
        marker = decodeMarker(*bytes);
        return MarkerState::present;
    } catch (const Error &error) {
        // The user's previous values may be in there: keep them where a person can find them.
        const auto copy = store.preserveUnreadable(SystemProxy::markerKey());
        if (!copy) {
            logError(QStringLiteral(
                "The system proxy marker %1 is unreadable (%2) and cannot be copied aside; leaving the settings alone")
                         .arg(store.filePath(SystemProxy::markerKey()), error.description()));
            return MarkerState::unreadable;
        }
        logError(QStringLiteral(
            "The system proxy marker %1 is unreadable (%2); kept it as %3 and left the settings as they are")
                     .arg(store.filePath(SystemProxy::markerKey()), error.description(), *copy));
        store.remove(SystemProxy::markerKey());
        return MarkerState::none;
    }
}

// Puts back what the marker recorded, newest change first; a key that no longer holds the value we
// wrote was changed by someone else since, and keeps that change.
bool restoreFrom(const Marker &marker, const SystemProxyEnvironment &environment, DefaultsStore &store)
{
    bool complete = true;
    QStringList kept;
    for (auto part = marker.parts.crbegin(); part != marker.parts.crend(); ++part) {
        if (part->entries.isEmpty())
            continue;
        const auto tool = makeProxySettingsTool(part->tool, environment);
        if (!tool) {
            // Nothing can read or write them any more, so retrying later would not help either.
            logError(QStringLiteral("Cannot restore the %1 proxy settings: its tool is no longer installed")
                         .arg(part->tool));
            continue;
        }
        QList<ProxySettingKey> keys;
        for (const MarkerEntry &entry : part->entries)
            keys.append(entry.key);
        const ProxySettingsReading reading = tool->read(keys);
        if (reading.status == ProxySettingsReading::Status::missingSettings) {
            logError(QStringLiteral("Cannot restore the %1 proxy settings: they no longer exist").arg(part->tool));
            continue;
        }
        if (reading.status != ProxySettingsReading::Status::read) {
            complete = false;
            continue;
        }
        bool changed = false;
        for (qsizetype i = part->entries.size() - 1; i >= 0; --i) {
            const MarkerEntry &entry = part->entries.at(i);
            const ProxySettingValue &current = reading.values.at(i);
            // not written yet when the run ended, or already put back
            if (current == entry.previous)
                continue;
            if (current.text != entry.applied) {
                kept.append(entry.key.group + u' ' + entry.key.key);
                continue;
            }
            if (tool->write(entry.key, entry.previous))
                changed = true;
            else
                complete = false;
        }
        if (changed)
            tool->announceChange();
    }
    if (!kept.isEmpty())
        logInfo(QStringLiteral("Kept the proxy settings changed since they were applied: %1")
                    .arg(kept.join(QStringLiteral(", "))));
    if (!complete) {
        logError(QStringLiteral("Some system proxy settings could not be restored; trying again at the next start"));
        return false;
    }
    if (!store.remove(SystemProxy::markerKey()) && store.data(SystemProxy::markerKey()))
        logError(
            QStringLiteral("Cannot remove the system proxy marker %1").arg(store.filePath(SystemProxy::markerKey())));
    logInfo(QStringLiteral("Restored the system proxy settings"));
    return true;
}

// The tools for the desktop's settings, the one its own programs read first.
std::vector<std::unique_ptr<ProxySettingsTool>> toolsFor(const SystemProxyEnvironment &environment)
{
    std::vector<std::unique_ptr<ProxySettingsTool>> tools;
    QStringList desktops;
    for (const QString &name : environment.desktop.split(u':', Qt::SkipEmptyParts))
        desktops.append(name.trimmed().toLower());
    desktops.removeAll(QString());
    if (desktops.isEmpty())
        return tools;
    if (desktops.contains(QStringLiteral("kde"))) {
        if (auto kde = makeKioslavercTool(environment))
            tools.push_back(std::move(kde));
        else
            logInfo(QStringLiteral("Neither kwriteconfig6 nor kwriteconfig5 (with its kreadconfig) is installed; KDE "
                                   "programs keep their proxy settings"));
    }
    // GNOME, Unity, Cinnamon, Budgie, MATE, Xfce, ... and KDE's GTK programs all read these.
    if (auto gnome = makeGSettingsTool(environment))
        tools.push_back(std::move(gnome));
    return tools;
}

void logNotSupported(const SystemProxyEnvironment &environment)
{
    logInfo(QStringLiteral(
        "No supported desktop found for the system proxy settings (XDG_CURRENT_DESKTOP \"%1\"); leaving them alone")
                .arg(environment.desktop));
}

} // namespace

SystemProxyEnvironment SystemProxyEnvironment::current()
{
    SystemProxyEnvironment environment;
    environment.desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    environment.searchPath = qEnvironmentVariable("PATH").split(u':', Qt::SkipEmptyParts);
    environment.toolEnvironment = QProcessEnvironment::systemEnvironment();
    return environment;
}

SystemProxy::SystemProxy(SystemProxyEnvironment environment, DefaultsStore &store)
    : m_environment(std::move(environment))
    , m_store(&store)
{
}

SystemProxy::SystemProxy()
    : m_environment(SystemProxyEnvironment::current())
    , m_ownStore(std::make_unique<DefaultsStore>(markerDirectory()))
    , m_store(m_ownStore.get())
{
}

SystemProxy::~SystemProxy() = default;

QString SystemProxy::markerDirectory()
{
    // Not the application's configuration location: that follows the application name, and the
    // tunnel's differs.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/wrenlow");
}

QString SystemProxy::markerKey()
{
    return QStringLiteral("system-proxy");
}

SystemProxy::Result SystemProxy::apply(quint16 port)
{
    if (port == 0) {
        logError(QStringLiteral("Cannot point the system proxy settings at port 0"));
        return Result::failed;
    }
    Marker leftover;
    switch (readMarker(*m_store, leftover)) {
    case MarkerState::unreadable:
        return Result::failed;
    case MarkerState::present:
        if (isAnotherLiveProcess(leftover.owner)) {
            logError(QStringLiteral(
                "The system proxy settings are held by another running process (pid %1); leaving them alone")
                         .arg(leftover.owner.pid));
            return Result::failed;
        }
        // Its values are ours, not the user's: they must not end up in the new snapshot.
        if (!restoreFrom(leftover, m_environment, *m_store))
            return Result::failed;
        break;
    case MarkerState::none:
        break;
    }

    auto tools = toolsFor(m_environment);
    Marker marker { port, thisProcess(), {} };
    std::vector<const ProxySettingsTool *> used;
    for (const auto &tool : tools) {
        const auto values = tool->proxyValues(port);
        QList<ProxySettingKey> keys;
        for (const auto &[key, value] : values)
            keys.append(key);
        const ProxySettingsReading reading = tool->read(keys);
        if (reading.status == ProxySettingsReading::Status::missingSettings)
            continue;
        if (reading.status != ProxySettingsReading::Status::read) {
            logError(QStringLiteral("Cannot read the system proxy settings; leaving them alone"));
            return Result::failed;
        }
        MarkerPart part { tool->name(), {} };
        for (qsizetype i = 0; i < values.size(); ++i) {
            if (reading.values.at(i).text != values.at(i).second)
                part.entries.append({ values.at(i).first, values.at(i).second, reading.values.at(i) });
        }
        marker.parts.append(std::move(part));
        used.push_back(tool.get());
    }
    if (used.empty()) {
        logNotSupported(m_environment);
        return Result::notSupported;
    }

    // Written before the first change, so that a crash part-way leaves enough to undo it.
    QByteArray document;
    try {
        document = json::serialize(encodeMarker(marker));
    } catch (const Error &error) {
        logError(QStringLiteral("Cannot record the system proxy settings: %1").arg(error.description()));
        return Result::failed;
    }
    if (!m_store->setData(markerKey(), document)) {
        logError(QStringLiteral("Cannot record the system proxy settings; leaving them alone"));
        return Result::failed;
    }

    for (qsizetype i = 0; i < marker.parts.size(); ++i) {
        const MarkerPart &part = marker.parts.at(i);
        for (const MarkerEntry &entry : part.entries) {
            const ProxySettingValue value { entry.applied, true };
            if (!used.at(i)->write(entry.key, value)) {
                logError(
                    QStringLiteral("Cannot point the %1 proxy settings at 127.0.0.1:%2; putting back what was changed")
                        .arg(part.tool)
                        .arg(port));
                restoreFrom(marker, m_environment, *m_store);
                return Result::failed;
            }
        }
        if (!part.entries.isEmpty())
            used.at(i)->announceChange();
    }
    QStringList names;
    for (const MarkerPart &part : marker.parts)
        names.append(part.tool);
    logInfo(QStringLiteral("Pointed the system proxy settings (%1) at 127.0.0.1:%2")
                .arg(names.join(QStringLiteral(", ")))
                .arg(port));
    return Result::applied;
}

bool SystemProxy::restore()
{
    Marker marker;
    if (const MarkerState state = readMarker(*m_store, marker); state != MarkerState::present)
        return state == MarkerState::none;
    return restoreFrom(marker, m_environment, *m_store);
}

bool SystemProxy::recoverLeftover()
{
    Marker marker;
    if (const MarkerState state = readMarker(*m_store, marker); state != MarkerState::present)
        return state == MarkerState::none;
    if (isAnotherLiveProcess(marker.owner)) {
        logInfo(QStringLiteral("The system proxy settings belong to a running tunnel (pid %1); leaving them to it")
                    .arg(marker.owner.pid));
        return true;
    }
    logInfo(
        QStringLiteral("Restoring the system proxy settings an earlier run left pointing at port %1").arg(marker.port));
    return restoreFrom(marker, m_environment, *m_store);
}
