#pragma once

#include "core/foundation/error.h"

#include <QString>

// Why a proxy URI could not be read. The parsers raise only invalidFormat and unsupportedProtocol.
class ProxyURIParseError final : public Error {
public:
    enum class Kind { VMessError, shadowsockError, invalidFormat, unsupportedProtocol };

    explicit ProxyURIParseError(Kind kind, QString detail = {})
        : m_kind(kind)
        , m_detail(std::move(detail))
    {
    }

    Kind kind() const { return m_kind; }
    QString detail() const { return m_detail; }

    QString description() const override
    {
        switch (m_kind) {
        case Kind::VMessError:
            return QStringLiteral("VMess parsing error: ") + m_detail;
        case Kind::shadowsockError:
            return QStringLiteral("Shadowsocks error: ") + m_detail;
        case Kind::invalidFormat:
            return QStringLiteral("Invalid format");
        case Kind::unsupportedProtocol:
            return QStringLiteral("Unsupported protocol");
        }
        Q_UNREACHABLE();
    }

private:
    Kind m_kind;
    QString m_detail;
};

class SubscriptionError final : public Error {
public:
    enum class Kind { noServers };

    explicit SubscriptionError(Kind kind = Kind::noServers)
        : m_kind(kind)
    {
    }

    Kind kind() const { return m_kind; }
    QString description() const override { return QStringLiteral("No servers found in the provided subscription URL"); }

private:
    Kind m_kind;
};

// The application's general errors.
class AppErrors final : public Error {
public:
    enum class Kind {
        other,
        serverNotFound,
        cannotConfigureVPN,
        profileNotInstalled,
        noDataReceived,
        systemExtensionError
    };

    explicit AppErrors(Kind kind)
        : m_kind(kind)
    {
    }
    static AppErrors other(QString reason)
    {
        AppErrors error(Kind::other);
        error.m_reason = std::move(reason);
        return error;
    }

    Kind kind() const { return m_kind; }
    QString reason() const { return m_reason; }

    QString description() const override
    {
        switch (m_kind) {
        case Kind::other:
            return m_reason;
        case Kind::serverNotFound:
            return QStringLiteral("Server not found");
        case Kind::cannotConfigureVPN:
            return QStringLiteral("Cannot configure VPN");
        case Kind::profileNotInstalled:
            return QStringLiteral(
                "No VPN profile installed. This operation is possible only when VPN profile is installed");
        case Kind::noDataReceived:
            return QStringLiteral("No data received");
        case Kind::systemExtensionError:
            return QStringLiteral("System extension was not loaded");
        }
        Q_UNREACHABLE();
    }

private:
    Kind m_kind;
    QString m_reason;
};

// Downloaded subscription content that is not text: base64 that decodes to bytes which are not UTF-8.
class UndecodableContentError final : public Error {
public:
    QString description() const override { return QStringLiteral("The subscription content could not be decoded."); }
};
