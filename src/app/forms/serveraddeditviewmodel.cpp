#include "app/forms/serveraddeditviewmodel.h"

#include "app/catalogue/groupcollection.h"
#include "core/foundation/decimal.h"

#include <QHash>

namespace ServerOperations {

bool operator==(const NewFromTemplate &a, const NewFromTemplate &b)
{
    return a.server == b.server || (a.server && b.server && *a.server == *b.server);
}

bool operator==(const Edit &a, const Edit &b)
{
    return a.server == b.server || (a.server && b.server && *a.server == *b.server);
}

} // namespace ServerOperations

size_t qHash(const ServerOperation &operation, size_t seed)
{
    const size_t kind = operation.index();
    return std::visit(
        [&](const auto &value) -> size_t {
            if constexpr (requires { value.server; })
                return value.server ? qHashMulti(seed, kind, value.server->id()) : qHashMulti(seed, kind);
            else
                return qHashMulti(seed, kind);
        },
        operation);
}

QString ServerAddEditViewModel::displayText(ProtocolName protocol)
{
    switch (protocol) {
    case ProtocolName::shadowsocks:
        return QStringLiteral("Shadowsocks");
    case ProtocolName::vmess:
        return QStringLiteral("VMess");
    case ProtocolName::vless:
        return QStringLiteral("VLESS");
    }
    Q_UNREACHABLE();
}

ServerAddEditViewModel::ServerAddEditViewModel(QObject *parent)
    : QObject(parent)
{
}

ServerAddEditViewModel::ServerAddEditViewModel(const ServerPtr &server, bool isTemplate, QObject *parent)
    : QObject(parent)
{
    fillFrom(server, isTemplate);
}

ServerAddEditViewModel::ServerAddEditViewModel(const ServerOperation &operation, QObject *parent)
    : QObject(parent)
{
    if (const auto *fromTemplate = std::get_if<ServerOperations::NewFromTemplate>(&operation))
        fillFrom(fromTemplate->server, true);
    else if (const auto *edit = std::get_if<ServerOperations::Edit>(&operation))
        fillFrom(edit->server, false);
}

void ServerAddEditViewModel::fillFrom(const ServerPtr &server, bool isTemplate)
{
    m_name = server->name();
    const ServerSettings settings = server->settings();
    if (const auto *shadowsocks = std::get_if<ShadowsockSettings>(&settings)) {
        m_protocolName = ProtocolName::shadowsocks;
        m_address = shadowsocks->address;
        m_port = QString::number(shadowsocks->port);
        m_shadowsocksCipher = shadowsocks->cipher;
        m_shadowsocksPassword = shadowsocks->password;
    } else if (const auto *vmess = std::get_if<VMessSettings>(&settings)) {
        m_protocolName = ProtocolName::vmess;
        m_address = vmess->address;
        m_port = QString::number(vmess->port);
        m_vmessUserId = vmess->userId;
        m_vmessUseTls = vmess->tls;
    } else if (const auto *vless = std::get_if<VLESSSettings>(&settings)) {
        m_protocolName = ProtocolName::vless;
        m_address = vless->address;
        m_port = QString::number(vless->port);
        m_vlessSettings = *vless;
    }
    if (!isTemplate)
        m_serverToEdit = server;
    m_canSave = canSave();
}

template <typename T>
void ServerAddEditViewModel::assign(T &field, const T &value, void (ServerAddEditViewModel::*changed)())
{
    if (field == value)
        return;
    field = value;
    if (changed)
        Q_EMIT(this->*changed)();
    const bool canSaveNow = canSave();
    if (canSaveNow != m_canSave) {
        m_canSave = canSaveNow;
        Q_EMIT canSaveChanged();
    }
}

void ServerAddEditViewModel::setName(const QString &name)
{
    assign(m_name, name, &ServerAddEditViewModel::nameChanged);
}

void ServerAddEditViewModel::setProtocolName(ProtocolName protocolName)
{
    assign(m_protocolName, protocolName, &ServerAddEditViewModel::protocolNameChanged);
}

void ServerAddEditViewModel::setAddress(const QString &address)
{
    assign(m_address, address, &ServerAddEditViewModel::addressChanged);
}

void ServerAddEditViewModel::setPort(const QString &port)
{
    assign(m_port, port, &ServerAddEditViewModel::portChanged);
}

void ServerAddEditViewModel::setShadowsocksPassword(const QString &password)
{
    assign(m_shadowsocksPassword, password, &ServerAddEditViewModel::shadowsocksPasswordChanged);
}

void ServerAddEditViewModel::setShadowsocksCipher(ShadowsocksCipher cipher)
{
    assign(m_shadowsocksCipher, cipher, &ServerAddEditViewModel::shadowsocksCipherChanged);
}

void ServerAddEditViewModel::setVmessUserId(const QString &userId)
{
    assign(m_vmessUserId, userId, &ServerAddEditViewModel::vmessUserIdChanged);
}

void ServerAddEditViewModel::setVmessUseTls(bool useTls)
{
    assign(m_vmessUseTls, useTls, &ServerAddEditViewModel::vmessUseTlsChanged);
}

void ServerAddEditViewModel::setVlessSettings(const std::optional<VLESSSettings> &settings)
{
    // Not published; only canSave may change with it.
    assign(m_vlessSettings, settings, nullptr);
}

bool ServerAddEditViewModel::isReadOnly() const
{
    return m_serverToEdit && m_serverToEdit->isInSubscription();
}

bool ServerAddEditViewModel::canSave() const
{
    return !isReadOnly() && builtSettings().has_value();
}

bool ServerAddEditViewModel::canDelete() const
{
    return m_serverToEdit && !m_serverToEdit->isInSubscription();
}

std::optional<ServerSettings> ServerAddEditViewModel::builtSettings() const
{
    // Blanks around a pasted host name would be stored and break every connection to it.
    const QString address = m_address.trimmed();
    if (m_name.isEmpty() || address.isEmpty() || m_port.isEmpty())
        return std::nullopt;
    const std::optional<qint64> port = parseDecimal(m_port);
    if (!port)
        return std::nullopt;
    switch (m_protocolName) {
    case ProtocolName::shadowsocks:
        if (m_shadowsocksPassword.isEmpty())
            return std::nullopt;
        return ShadowsockSettings { address, *port, m_shadowsocksCipher, m_shadowsocksPassword };
    case ProtocolName::vmess:
        if (m_vmessUserId.isEmpty())
            return std::nullopt;
        return VMessSettings { address, *port, m_vmessUserId, m_vmessUseTls, QString(), QStringLiteral("auto") };
    case ProtocolName::vless:
        // Host and port must be valid, but the record keeps its own: it is never edited here.
        if (!m_vlessSettings)
            return std::nullopt;
        return *m_vlessSettings;
    }
    Q_UNREACHABLE();
}

void ServerAddEditViewModel::save(GroupCollection &groups)
{
    if (!canSave())
        return;
    const ServerSettings settings = *builtSettings();
    if (m_serverToEdit) {
        m_serverToEdit->setName(m_name);
        m_serverToEdit->setSettings(settings);
        groups.save();
    } else {
        groups.addServer(std::make_shared<Server>(m_name, settings, false));
    }
}

void ServerAddEditViewModel::deleteServer(GroupCollection &groups)
{
    if (canDelete())
        groups.removeServer(*m_serverToEdit);
}
