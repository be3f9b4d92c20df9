#pragma once

#include "core/catalogue/serversettings.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <memory>
#include <optional>

// A server's stored fields as plain values: what a save takes away from the main thread.
struct ServerRecord {
    QUuid id;
    QString name;
    QString originalName;
    bool isInSubscription = false;
    ServerSettings settings;
};

class Server;

// Told by a direct call of every change of a server's name, settings, status or busy mark. The group
// holding a server watches it this way: a signal connection per server made building or dropping a
// catalogue of 50,000 servers take a tenth of a second longer.
class ServerWatcher {
public:
    virtual void fieldsChanged(const Server &server) = 0;

protected:
    ~ServerWatcher() = default;
};

// One entry of the catalogue. Groups, the selection and open editors share one object,
// so servers are held by std::shared_ptr and compared by id.
class Server final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString originalName READ originalName CONSTANT)
    Q_PROPERTY(ServerSettings settings READ settings WRITE setSettings NOTIFY settingsChanged)
    Q_PROPERTY(OnlineStatus status READ status WRITE setStatus NOTIFY statusChanged)
    Q_PROPERTY(bool inProgress READ inProgress WRITE setInProgress NOTIFY inProgressChanged)

public:
    // A new server with a fresh id; a name of the form "cipher:password@host:port" is shown as
    // the host alone, while originalName keeps the text as given.
    Server(const QString &name, ServerSettings settings, bool isInSubscription);
    // A server read back from storage: every field as stored, no clean-up.
    Server(QUuid id, QString name, QString originalName, ServerSettings settings, bool isInSubscription);
    Q_DISABLE_COPY_MOVE(Server)

    QUuid id() const { return m_record->id; }
    bool isInSubscription() const { return m_record->isInSubscription; }
    // The stored fields, shared and never changed in place: a save of 50,000 servers takes the
    // pointers rather than copies, and the writer thread may read them while this server changes.
    std::shared_ptr<const ServerRecord> record() const { return m_record; }

    QString name() const { return m_record->name; }
    void setName(const QString &name);
    QString originalName() const { return m_record->originalName; }
    ServerSettings settings() const { return m_record->settings; }
    void setSettings(const ServerSettings &settings);
    OnlineStatus status() const { return m_status; }
    void setStatus(OnlineStatus status);
    bool inProgress() const { return m_inProgress; }
    void setInProgress(bool inProgress);

    // At most one watcher, the group that holds the server; null for none.
    ServerWatcher *watcher() const { return m_watcher; }
    void setWatcher(ServerWatcher *watcher) { m_watcher = watcher; }

    friend bool operator==(const Server &a, const Server &b) { return a.id() == b.id(); }

Q_SIGNALS:
    void nameChanged();
    void settingsChanged();
    void statusChanged();
    void inProgressChanged();

private:
    template <typename Change> void changeRecord(Change change);

    std::shared_ptr<const ServerRecord> m_record;
    OnlineStatus m_status = OnlineStatus::unknown;
    bool m_inProgress = false;
    ServerWatcher *m_watcher = nullptr;
};

using ServerPtr = std::shared_ptr<Server>;

inline size_t qHash(const Server &server, size_t seed = 0)
{
    return qHash(server.id(), seed);
}

// The host part of a name like "method:password@host:port": the text between the first "@"
// that allows a match and the next ":" followed by a digit, within one line. Equivalent to the
// first match of (.+?)@(.+?):([0-9]+) where "." excludes line breaks, but linear in the length.
std::optional<QString> hostFromName(QStringView name);
