#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>

class QNetworkAccessManager;

// What a check for updates found.
struct UpdateCheckResult {
    enum class Kind { newer, current, failure };
    Kind kind = Kind::failure;
    // The newest version and its download page, when kind is newer; the feed's version when current.
    QString version;
    QUrl page;
    // Why the check failed, fit to show to the user.
    QString failure;
};

// Orders dotted version texts by their numbers, component by component ("1.10" after "1.9"); a
// missing component counts as 0, a leading "v" and anything after a component's digits are ignored.
// Negative, zero or positive as a is older than, the same as or newer than b.
int compareVersions(QStringView a, QStringView b);

// Asks the program's update feed, a JSON document {"version": "x.y.z", "url": "<download page>"},
// whether a newer version exists. Without a feed address no check can start.
class UpdateChecker final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    enum class FeedSchemes {
        // The shipped program: the answer decides what the user is sent to, so it must be authentic.
        httpsOnly,
        // Tests, against a local server.
        httpAllowed,
    };

    // The feed the program was built with; empty when it was built without one.
    static QUrl builtInFeedUrl();

    UpdateChecker(
        QUrl feedUrl, QString currentVersion, FeedSchemes schemes = FeedSchemes::httpsOnly, QObject *parent = nullptr);
    ~UpdateChecker() override;
    Q_DISABLE_COPY_MOVE(UpdateChecker)

    // A feed is configured and no check is running.
    bool canCheckForUpdates() const;
    bool hasFeed() const { return m_feedUsable; }
    QString currentVersion() const { return m_currentVersion; }

    // How long the feed may take to answer; 20 seconds unless changed.
    std::chrono::milliseconds timeout() const { return m_timeout; }
    void setTimeout(std::chrono::milliseconds timeout) { m_timeout = timeout; }

    // Starts a check unless canCheckForUpdates() is false; checkFinished() tells the outcome.
    void checkForUpdates();

Q_SIGNALS:
    void canCheckForUpdatesChanged();
    void checkFinished(const UpdateCheckResult &result);

private:
    QCoro::Task<UpdateCheckResult> fetch();
    void setChecking(bool checking);

    QUrl m_feedUrl;
    QString m_currentVersion;
    bool m_feedUsable = false;
    bool m_allowHttp = false;
    bool m_checking = false;
    std::chrono::milliseconds m_timeout = std::chrono::seconds(20);
    std::unique_ptr<QNetworkAccessManager> m_session;
};

Q_DECLARE_METATYPE(UpdateCheckResult)
