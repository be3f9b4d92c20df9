#pragma once

#include "app/catalogue/servergroup.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringView>

#include <memory>
#include <variant>

class GroupCollection;
class SubscriptionLoader;

// Which job the subscription form does; pushed onto a navigation path, so it compares and hashes.
namespace SubscriptionOperations {
// Adds a subscription whose URL the user already gave (a pasted link).
struct NewWithURL {
    QString url;
    friend bool operator==(const NewWithURL &, const NewWithURL &) = default;
};
struct Edit {
    ServerGroupPtr group;
};
struct New {
    friend bool operator==(const New &, const New &) = default;
};

// Groups compare by id, so two edits of the same group are the same navigation value.
bool operator==(const Edit &a, const Edit &b);
} // namespace SubscriptionOperations

using SubscriptionOperation
    = std::variant<SubscriptionOperations::NewWithURL, SubscriptionOperations::Edit, SubscriptionOperations::New>;

size_t qHash(const SubscriptionOperation &operation, size_t seed = 0);

// Whether the text holds a link somewhere, which is what enables the forms' Done and Next. A link is
// a word (text between blanks, angle brackets or double quotes) that either
// - contains a scheme and "://" followed by at least one host character, in any letter case: web
//   links, and the proxy URIs (ss://, vmess://, vless://) that the proxy URI screen takes, or
// - is, after trailing punctuation is dropped, a host name of at least two dot-separated labels of
//   letters, digits and hyphens whose last label has two or more letters only, optionally followed
//   by ":port" and a path, query or fragment ("example.com", "www.example.com/sub?x=1").
// E-mail addresses, bare IP addresses and links without "//" ("mailto:") do not count.
bool containsLink(QStringView text);

// The subscription form's model. Saving always downloads the subscription first; only a
// successful download changes the catalogue.
class SubscriptionViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(Type type READ type CONSTANT)
    Q_PROPERTY(bool isInvalid READ isInvalid CONSTANT)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString url READ url WRITE setUrl NOTIFY urlChanged)
    Q_PROPERTY(bool autoUpdate READ autoUpdate WRITE setAutoUpdate NOTIFY autoUpdateChanged)

public:
    enum class Type { newSubscription, edit };
    Q_ENUM(Type)

    explicit SubscriptionViewModel(const SubscriptionOperation &operation, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(SubscriptionViewModel)

    QString title() const { return m_title; }
    Type type() const { return m_type; }
    // Editing was asked for a group that is not a subscription; the view shows only a message.
    bool isInvalid() const { return m_isInvalid; }
    QString name() const { return m_name; }
    void setName(const QString &name);
    QString url() const { return m_url; }
    void setUrl(const QString &url);
    bool autoUpdate() const { return m_autoUpdate; }
    void setAutoUpdate(bool autoUpdate);
    const ServerGroupPtr &serverGroup() const { return m_serverGroup; }

    GroupType groupType() const;

    // Downloads the subscription from `url` and adds it as a new group, or replaces the edited
    // group with a new one. Throws the download's or the parser's error and then changes nothing.
    // The form may be destroyed while the download runs; the catalogue is still updated.
    QCoro::Task<> save(GroupCollection &groups, SubscriptionLoader &loader);
    // The user left the form: a running save leaves the catalogue as it is when its download ends.
    // The download itself is not stopped; its result is dropped.
    void cancelSave();

Q_SIGNALS:
    void nameChanged();
    void urlChanged();
    void autoUpdateChanged();

private:
    QString m_title;
    Type m_type = Type::newSubscription;
    bool m_isInvalid = false;
    QString m_name;
    QString m_url;
    bool m_autoUpdate = false;
    ServerGroupPtr m_serverGroup;
    // Shared with the running save, which may outlive the form.
    std::shared_ptr<bool> m_saveCancelled;
};
