#include "app/forms/subscriptionviewmodel.h"

#include "app/catalogue/groupcollection.h"
#include "app/catalogue/subscriptionloader.h"

#include <QHash>

namespace SubscriptionOperations {

bool operator==(const Edit &a, const Edit &b)
{
    return a.group == b.group || (a.group && b.group && *a.group == *b.group);
}

} // namespace SubscriptionOperations

size_t qHash(const SubscriptionOperation &operation, size_t seed)
{
    const size_t kind = operation.index();
    if (const auto *withUrl = std::get_if<SubscriptionOperations::NewWithURL>(&operation))
        return qHashMulti(seed, kind, withUrl->url);
    if (const auto *edit = std::get_if<SubscriptionOperations::Edit>(&operation); edit && edit->group)
        return qHashMulti(seed, kind, edit->group->id());
    return qHashMulti(seed, kind);
}

namespace {

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isWordSeparator(QChar c)
{
    return c.isSpace() || c == u'<' || c == u'>' || c == u'"';
}

bool isSchemeCharacter(QChar c)
{
    return isAsciiLetter(c) || isAsciiDigit(c) || c == u'+' || c == u'-' || c == u'.';
}

// "https://host", "ss://…@host:port", "vmess://…": a scheme, "://" and something that is not a path.
bool hasSchemeAndAuthority(QStringView word)
{
    qsizetype from = 0;
    while (true) {
        const qsizetype at = word.indexOf(u"://", from);
        if (at < 0)
            return false;
        from = at + 1;
        qsizetype schemeStart = at;
        while (schemeStart > 0 && isSchemeCharacter(word[schemeStart - 1]))
            --schemeStart;
        // A scheme starts with a letter; "1http://" still holds the scheme "http".
        while (schemeStart < at && !isAsciiLetter(word[schemeStart]))
            ++schemeStart;
        const qsizetype hostStart = at + 3;
        if (schemeStart < at && hostStart < word.size() && word[hostStart] != u'/' && word[hostStart] != u'?'
            && word[hostStart] != u'#')
            return true;
    }
}

// "example.com", "www.example.com:8080/path": a host name, then an optional port and the rest.
bool isSchemelessHostLink(QStringView word)
{
    while (!word.isEmpty() && QStringView(u".,;:!?)]}'").contains(word.back()))
        word.chop(1);
    qsizetype hostEnd = 0;
    while (hostEnd < word.size() && word[hostEnd] != u'/' && word[hostEnd] != u'?' && word[hostEnd] != u'#')
        ++hostEnd;
    QStringView host = word.left(hostEnd);
    if (const qsizetype colon = host.indexOf(u':'); colon >= 0) {
        const QStringView port = host.mid(colon + 1);
        if (port.isEmpty() || !std::all_of(port.begin(), port.end(), isAsciiDigit))
            return false;
        host = host.left(colon);
    }
    const QList<QStringView> labels = host.split(u'.');
    if (labels.size() < 2)
        return false;
    for (const QStringView label : labels) {
        if (label.isEmpty() || label.front() == u'-' || label.back() == u'-')
            return false;
        for (const QChar c : label) {
            if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != u'-')
                return false;
        }
    }
    const QStringView topLevel = labels.last();
    return topLevel.size() >= 2 && std::all_of(topLevel.begin(), topLevel.end(), isAsciiLetter);
}

} // namespace

bool containsLink(QStringView text)
{
    qsizetype start = 0;
    while (start < text.size()) {
        while (start < text.size() && isWordSeparator(text[start]))
            ++start;
        qsizetype end = start;
        while (end < text.size() && !isWordSeparator(text[end]))
            ++end;
        const QStringView word = text.mid(start, end - start);
        if (!word.isEmpty() && (hasSchemeAndAuthority(word) || isSchemelessHostLink(word)))
            return true;
        start = end;
    }
    return false;
}

SubscriptionViewModel::SubscriptionViewModel(const SubscriptionOperation &operation, QObject *parent)
    : QObject(parent)
{
    if (std::holds_alternative<SubscriptionOperations::New>(operation)) {
        m_title = QStringLiteral("Add Subscription");
        m_autoUpdate = true;
    } else if (const auto *withUrl = std::get_if<SubscriptionOperations::NewWithURL>(&operation)) {
        m_title = QStringLiteral("Add subscription");
        m_autoUpdate = true;
        m_url = withUrl->url;
    } else if (const auto *edit = std::get_if<SubscriptionOperations::Edit>(&operation)) {
        m_type = Type::edit;
        m_title = QStringLiteral("Edit Subscription");
        m_serverGroup = edit->group;
        const auto *subscription = m_serverGroup ? std::get_if<SubscriptionType>(&m_serverGroup->type()) : nullptr;
        if (subscription) {
            m_name = subscription->name;
            m_url = subscription->url;
            m_autoUpdate = subscription->autoUpdate;
        } else {
            m_isInvalid = true;
        }
    }
}

void SubscriptionViewModel::setName(const QString &name)
{
    if (m_name == name)
        return;
    m_name = name;
    Q_EMIT nameChanged();
}

void SubscriptionViewModel::setUrl(const QString &url)
{
    if (m_url == url)
        return;
    m_url = url;
    Q_EMIT urlChanged();
}

void SubscriptionViewModel::setAutoUpdate(bool autoUpdate)
{
    if (m_autoUpdate == autoUpdate)
        return;
    m_autoUpdate = autoUpdate;
    Q_EMIT autoUpdateChanged();
}

void SubscriptionViewModel::cancelSave()
{
    if (m_saveCancelled)
        *m_saveCancelled = true;
}

GroupType SubscriptionViewModel::groupType() const
{
    return SubscriptionType { m_name, m_url, m_autoUpdate };
}

QCoro::Task<> SubscriptionViewModel::save(GroupCollection &groups, SubscriptionLoader &loader)
{
    // The invalid form has no Done; saving it must not replace the manual group.
    if (m_isInvalid)
        co_return;
    // Everything is taken before the download: the form may be gone when it ends.
    const QString url = m_url;
    const GroupType type = groupType();
    const bool isEdit = m_type == Type::edit;
    const ServerGroupPtr edited = m_serverGroup;
    if (isEdit && !edited)
        co_return;
    const auto cancelled = std::make_shared<bool>(false);
    m_saveCancelled = cancelled;

    QList<ServerPtr> servers = co_await loader.load(url);
    if (*cancelled)
        co_return;
    auto group = std::make_shared<ServerGroup>(type, std::move(servers));
    if (isEdit)
        groups.replaceSubscription(edited->id(), group);
    else
        groups.addSubscription(group);
}
