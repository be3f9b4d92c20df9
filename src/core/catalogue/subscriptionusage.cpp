#include "core/catalogue/subscriptionusage.h"

#include "core/foundation/bytecount.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QLocale>

#include <limits>

std::optional<quint64> SubscriptionUsage::used() const
{
    if (!upload && !download)
        return std::nullopt;
    const quint64 up = upload.value_or(0);
    const quint64 down = download.value_or(0);
    // Both fit in 64 bits; their sum need not.
    return up > std::numeric_limits<quint64>::max() - down ? std::numeric_limits<quint64>::max() : up + down;
}

namespace {

// The byte-count text, or nothing for a count too large for it (a petabyte and more): providers
// send such totals to mean "no limit".
QString bytes(std::optional<quint64> count)
{
    if (!count || *count > quint64(std::numeric_limits<qint64>::max()))
        return {};
    return formatByteCount(qint64(*count));
}

std::optional<quint64> number(QByteArrayView text)
{
    if (text.isEmpty() || text.size() > 20)
        return std::nullopt;
    quint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const quint64 digit = quint64(c - '0');
        if (value > (std::numeric_limits<quint64>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

QString usageAmountText(const SubscriptionUsage &usage)
{
    const QString used = bytes(usage.used());
    // A total of 0 is what providers send for "no limit".
    const QString total = usage.total == quint64(0) ? QString() : bytes(usage.total);
    if (!used.isEmpty() && !total.isEmpty())
        return QCoreApplication::translate("SubscriptionUsage", "%1 of %2").arg(used, total);
    if (!used.isEmpty())
        return QCoreApplication::translate("SubscriptionUsage", "%1 used").arg(used);
    return total;
}

QString usageExpiryText(const SubscriptionUsage &usage)
{
    if (!usage.expire || *usage.expire <= 0)
        return {};
    const QDate date = QDateTime::fromSecsSinceEpoch(*usage.expire).date();
    return QCoreApplication::translate("SubscriptionUsage", "until %1")
        .arg(QLocale().toString(date, QLocale::ShortFormat));
}

std::optional<SubscriptionUsage> parseSubscriptionUserinfo(QByteArrayView header)
{
    SubscriptionUsage usage;
    bool any = false;
    for (const QByteArray &rawPart : header.toByteArray().split(';')) {
        const QByteArray part = rawPart.trimmed();
        if (part.isEmpty())
            continue;
        const qsizetype equals = part.indexOf('=');
        if (equals <= 0)
            return std::nullopt;
        const QByteArray key = part.first(equals).trimmed().toLower();
        const std::optional<quint64> value = number(part.sliced(equals + 1).trimmed());
        std::optional<quint64> *field = key == "upload" ? &usage.upload
            : key == "download"                         ? &usage.download
            : key == "total"                            ? &usage.total
                                                        : nullptr;
        if (key == "expire") {
            if (!value || usage.expire || *value > quint64(std::numeric_limits<qint64>::max()))
                return std::nullopt;
            usage.expire = qint64(*value);
            any = true;
        } else if (field) {
            if (!value || field->has_value())
                return std::nullopt;
            *field = value;
            any = true;
        }
    }
    if (!any)
        return std::nullopt;
    return usage;
}

Json encodeSubscriptionUsages(const SubscriptionUsages &usages)
{
    Json document = Json::object();
    for (auto it = usages.begin(); it != usages.end(); ++it) {
        Json entry = Json::object();
        const SubscriptionUsage &usage = it.value();
        for (const auto &[key, value] : { std::pair { "upload", usage.upload },
                 std::pair { "download", usage.download }, std::pair { "total", usage.total } }) {
            if (value)
                entry[key] = *value;
        }
        if (usage.expire)
            entry["expire"] = *usage.expire;
        document[it.key().toStdString()] = std::move(entry);
    }
    return document;
}

SubscriptionUsages decodeSubscriptionUsages(const Json &json)
{
    SubscriptionUsages usages;
    if (!json.is_object())
        return usages;
    for (auto it = json.begin(); it != json.end(); ++it) {
        if (!it.value().is_object())
            continue;
        SubscriptionUsage usage;
        bool valid = true;
        for (auto field = it.value().begin(); field != it.value().end() && valid; ++field) {
            const Json &value = field.value();
            const std::string &key = field.key();
            if (key == "expire" && value.is_number_integer())
                usage.expire = value.get<qint64>();
            else if ((key == "upload" || key == "download" || key == "total") && value.is_number_unsigned())
                (key == "upload"            ? usage.upload
                        : key == "download" ? usage.download
                                            : usage.total)
                    = value.get<quint64>();
            else
                valid = false;
        }
        if (valid)
            usages.insert(QString::fromStdString(it.key()), usage);
    }
    return usages;
}
