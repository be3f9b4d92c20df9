#pragma once

#include "core/settings/appsettings.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QUuid>

class SettingsAccess;
class SettingsActionScheduler;

// One domain list of the routing rules, as edited: rows change freely and reach the settings only
// through saveDomains.
class DomainListViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<DomainItem> domains READ domains WRITE setDomains NOTIFY domainsChanged)

public:
    enum class ListType { direct, proxy, block };

    // Starts from a copy of the settings list of `type`.
    DomainListViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, ListType type, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(DomainListViewModel)

    ListType type() const { return m_type; }
    // "Direct", "Proxy" or "Block".
    static QString title(ListType type);

    QList<DomainItem> domains() const { return m_domains; }
    void setDomains(const QList<DomainItem> &domains);

    // Drops the empty rows, then appends a new empty "ends with" row and returns it for focusing.
    DomainItem addItem();
    void removeItems(const QSet<QUuid> &ids);
    // Stores the non-empty rows, each without a leading "https://" and then "http://"; the rows
    // being edited keep what the user typed.
    void saveDomains();

Q_SIGNALS:
    void domainsChanged();

private:
    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    ListType m_type;
    QList<DomainItem> m_domains;
};
