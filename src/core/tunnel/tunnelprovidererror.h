#pragma once

#include "core/foundation/error.h"
#include "core/foundation/jsoncoding.h"

#include <QString>

#include <optional>

// Why the tunnel could not start or had to stop. As an error object it carries the domain
// "Wrenlow.TunnelProviderError", its code and one user-info entry, "description".
class TunnelProviderError final : public Error {
public:
    enum class Code {
        setNetworkSettings = 0,
        startBackend = 1,
        custom = 2,
        cannotLocateTunnelFileDescriptor = 3,
        invalidState = 4,
        invalidConfiguration = 5,
    };

    static constexpr auto domain = "Wrenlow.TunnelProviderError";

    // setNetworkSettings carries the underlying error's description, startBackend the reason,
    // custom the whole text; the other codes carry nothing.
    explicit TunnelProviderError(Code code, QString detail = {})
        : m_code(code)
        , m_detail(std::move(detail))
    {
    }

    Code code() const { return m_code; }
    QString detail() const { return m_detail; }
    QString description() const override;

private:
    Code m_code;
    QString m_detail;
};

// An error as the platform hands it over: domain, code, the user-info entry "description" when
// there is one, and the text to show. The tunnel's TunnelProviderError arrives in this form.
class PlatformError final : public Error {
public:
    PlatformError(QString domain, qint64 code, std::optional<QString> userInfoDescription, QString localizedDescription)
        : m_domain(std::move(domain))
        , m_code(code)
        , m_userInfoDescription(std::move(userInfoDescription))
        , m_localizedDescription(std::move(localizedDescription))
    {
    }
    explicit PlatformError(const TunnelProviderError &error);

    QString domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    std::optional<QString> userInfoDescription() const { return m_userInfoDescription; }
    QString description() const override { return m_localizedDescription; }

    friend bool operator==(const PlatformError &a, const PlatformError &b)
    {
        return a.m_domain == b.m_domain && a.m_code == b.m_code && a.m_userInfoDescription == b.m_userInfoDescription
            && a.m_localizedDescription == b.m_localizedDescription;
    }

private:
    QString m_domain;
    qint64 m_code;
    std::optional<QString> m_userInfoDescription;
    QString m_localizedDescription;
};

// {"domain", "code", "userInfo": {"description"}, "localizedDescription"}; the decoder throws DecodingError.
Json encodePlatformError(const PlatformError &error);
PlatformError decodePlatformError(const Json &json);
