#include "core/catalogue/server.h"

namespace {

bool isLineBreak(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

bool isColonDigit(QStringView text, qsizetype i)
{
    return text[i] == u':' && i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9';
}

} // namespace

std::optional<QString> hostFromName(QStringView name)
{
    qsizetype lineStart = 0;
    while (lineStart < name.size()) {
        qsizetype lineEnd = lineStart;
        while (lineEnd < name.size() && !isLineBreak(name[lineEnd]))
            ++lineEnd;
        const QStringView line = name.sliced(lineStart, lineEnd - lineStart);

        // A match needs "@" after at least one character and ":digit" at least two places later.
        qsizetype lastColon = -1;
        for (qsizetype i = line.size() - 2; i >= 0 && lastColon < 0; --i) {
            if (isColonDigit(line, i))
                lastColon = i;
        }
        for (qsizetype at = 1; at + 2 <= lastColon; ++at) {
            if (line[at] != u'@')
                continue;
            qsizetype colon = at + 2;
            while (!isColonDigit(line, colon))
                ++colon;
            return line.sliced(at + 1, colon - at - 1).toString();
        }
        lineStart = lineEnd + 1;
    }
    return std::nullopt;
}

Server::Server(const QString &name, ServerSettings settings, bool isInSubscription)
    : m_record(std::make_shared<const ServerRecord>(ServerRecord {
        QUuid::createUuid(), hostFromName(name).value_or(name), name, isInSubscription, std::move(settings) }))
{
}

Server::Server(QUuid id, QString name, QString originalName, ServerSettings settings, bool isInSubscription)
    : m_record(std::make_shared<const ServerRecord>(
        ServerRecord { id, std::move(name), std::move(originalName), isInSubscription, std::move(settings) }))
{
}

template <typename Change> void Server::changeRecord(Change change)
{
    auto next = std::make_shared<ServerRecord>(*m_record);
    change(*next);
    m_record = std::move(next);
}

void Server::setName(const QString &name)
{
    if (m_record->name == name)
        return;
    changeRecord([&](ServerRecord &record) { record.name = name; });
    Q_EMIT nameChanged();
    if (m_watcher)
        m_watcher->fieldsChanged(*this);
}

void Server::setSettings(const ServerSettings &settings)
{
    if (m_record->settings == settings)
        return;
    changeRecord([&](ServerRecord &record) { record.settings = settings; });
    Q_EMIT settingsChanged();
    if (m_watcher)
        m_watcher->fieldsChanged(*this);
}

void Server::setStatus(OnlineStatus status)
{
    if (m_status == status)
        return;
    m_status = status;
    Q_EMIT statusChanged();
    if (m_watcher)
        m_watcher->fieldsChanged(*this);
}

void Server::setInProgress(bool inProgress)
{
    if (m_inProgress == inProgress)
        return;
    m_inProgress = inProgress;
    Q_EMIT inProgressChanged();
    if (m_watcher)
        m_watcher->fieldsChanged(*this);
}
