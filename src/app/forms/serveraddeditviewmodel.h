#pragma once

#include "core/catalogue/server.h"
#include "core/catalogue/serversettings.h"

#include <QObject>
#include <QString>

#include <optional>
#include <variant>

class GroupCollection;

// Which job the server form does; pushed onto a navigation path, so it compares and hashes.
namespace ServerOperations {
// A server parsed from a proxy URI, completed in the form and then added.
struct NewFromTemplate {
    ServerPtr server;
};
struct Edit {
    ServerPtr server;
};
struct New { };

// Servers compare by id, so two operations on the same server are the same navigation value.
bool operator==(const NewFromTemplate &a, const NewFromTemplate &b);
bool operator==(const Edit &a, const Edit &b);
inline bool operator==(const New &, const New &)
{
    return true;
}
} // namespace ServerOperations

using ServerOperation = std::variant<ServerOperations::NewFromTemplate, ServerOperations::Edit, ServerOperations::New>;

size_t qHash(const ServerOperation &operation, size_t seed = 0);

// The server form's model: its fields as typed, until save() turns them into a server.
class ServerAddEditViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(ProtocolName protocolName READ protocolName WRITE setProtocolName NOTIFY protocolNameChanged)
    Q_PROPERTY(QString address READ address WRITE setAddress NOTIFY addressChanged)
    Q_PROPERTY(QString port READ port WRITE setPort NOTIFY portChanged)
    Q_PROPERTY(QString shadowsocksPassword READ shadowsocksPassword WRITE setShadowsocksPassword NOTIFY
            shadowsocksPasswordChanged)
    Q_PROPERTY(ShadowsocksCipher shadowsocksCipher READ shadowsocksCipher WRITE setShadowsocksCipher NOTIFY
            shadowsocksCipherChanged)
    Q_PROPERTY(QString vmessUserId READ vmessUserId WRITE setVmessUserId NOTIFY vmessUserIdChanged)
    Q_PROPERTY(bool vmessUseTls READ vmessUseTls WRITE setVmessUseTls NOTIFY vmessUseTlsChanged)
    // Derived: Done is enabled exactly while this is true.
    Q_PROPERTY(bool canSave READ canSave NOTIFY canSaveChanged)

public:
    enum class ProtocolName { shadowsocks, vmess, vless };
    Q_ENUM(ProtocolName)
    // The protocol picker's entries, in order.
    static constexpr ProtocolName allProtocolNames[]
        = { ProtocolName::shadowsocks, ProtocolName::vmess, ProtocolName::vless };
    // "Shadowsocks", "VMess", "VLESS".
    static QString displayText(ProtocolName protocol);

    // A blank form for a new server.
    explicit ServerAddEditViewModel(QObject *parent = nullptr);
    // A form filled from `server`: it edits that server, or with isTemplate adds a new one built from it.
    ServerAddEditViewModel(const ServerPtr &server, bool isTemplate, QObject *parent = nullptr);
    explicit ServerAddEditViewModel(const ServerOperation &operation, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ServerAddEditViewModel)

    QString name() const { return m_name; }
    void setName(const QString &name);
    ProtocolName protocolName() const { return m_protocolName; }
    void setProtocolName(ProtocolName protocolName);
    QString address() const { return m_address; }
    void setAddress(const QString &address);
    QString port() const { return m_port; }
    void setPort(const QString &port);
    QString shadowsocksPassword() const { return m_shadowsocksPassword; }
    void setShadowsocksPassword(const QString &password);
    ShadowsocksCipher shadowsocksCipher() const { return m_shadowsocksCipher; }
    void setShadowsocksCipher(ShadowsocksCipher cipher);
    QString vmessUserId() const { return m_vmessUserId; }
    void setVmessUserId(const QString &userId);
    bool vmessUseTls() const { return m_vmessUseTls; }
    void setVmessUseTls(bool useTls);

    // VLESS records cannot be typed in; they come only with a server from a URI or a subscription.
    const std::optional<VLESSSettings> &vlessSettings() const { return m_vlessSettings; }
    void setVlessSettings(const std::optional<VLESSSettings> &settings);
    const ServerPtr &serverToEdit() const { return m_serverToEdit; }

    // A subscription's server is rewritten by every refresh, so its form only shows it.
    bool isReadOnly() const;
    bool canSave() const;
    // Only manual servers can be deleted; subscription servers go with their subscription.
    bool canDelete() const;

    // The settings the form describes, or nothing while it is incomplete.
    std::optional<ServerSettings> builtSettings() const;

    // Writes the edited server back, or adds a new one to the manual group. Does nothing while
    // Done would be disabled.
    void save(GroupCollection &groups);
    // Deletes the edited manual server.
    void deleteServer(GroupCollection &groups);

Q_SIGNALS:
    void nameChanged();
    void protocolNameChanged();
    void addressChanged();
    void portChanged();
    void shadowsocksPasswordChanged();
    void shadowsocksCipherChanged();
    void vmessUserIdChanged();
    void vmessUseTlsChanged();
    void canSaveChanged();

private:
    // Construction only: copies the server's fields, before anyone observes the form.
    void fillFrom(const ServerPtr &server, bool isTemplate);
    // Assigns and notifies; canSave is rechecked after every change of the form.
    template <typename T> void assign(T &field, const T &value, void (ServerAddEditViewModel::*changed)());

    QString m_name;
    ProtocolName m_protocolName = ProtocolName::shadowsocks;
    QString m_address;
    QString m_port;
    QString m_shadowsocksPassword;
    ShadowsocksCipher m_shadowsocksCipher = ShadowsocksCipher::aes256Gcm;
    QString m_vmessUserId;
    bool m_vmessUseTls = false;
    std::optional<VLESSSettings> m_vlessSettings;
    ServerPtr m_serverToEdit;
    bool m_canSave = false;
};
