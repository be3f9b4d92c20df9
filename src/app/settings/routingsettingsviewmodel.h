#pragma once

#include "core/settings/appsettings.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class SettingsAccess;
class SettingsActionScheduler;

// The Routing page's GeoIP part: the switch and the regions whose traffic bypasses the proxy.
class RoutingSettingsViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<GeoIPRegion> regions READ regions NOTIFY regionsChanged)
    Q_PROPERTY(bool isEnabled READ isEnabled WRITE setIsEnabled NOTIFY isEnabledChanged)
    Q_PROPERTY(QString selectedRegion READ selectedRegion WRITE setSelectedRegion NOTIFY selectedRegionChanged)

public:
    // Where addRegion looks labels up; asked only when a region is added.
    using Catalogue = std::function<const QList<GeoIPRegion> &()>;

    explicit RoutingSettingsViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, QObject *parent = nullptr);
    RoutingSettingsViewModel(
        SettingsAccess &settings, SettingsActionScheduler &scheduler, Catalogue catalogue, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(RoutingSettingsViewModel)

    QList<GeoIPRegion> regions() const { return m_regions; }
    bool isEnabled() const { return m_isEnabled; }
    void setIsEnabled(bool isEnabled);
    // The label of the region picked in the list, or an empty text.
    QString selectedRegion() const { return m_selectedRegion; }
    void setSelectedRegion(const QString &label);

    // Appends the first catalogue region with this label, unless it is unknown or already listed.
    void addRegion(const QString &label);
    // Removes every region with the selected label; the selection is cleared in any case.
    void removeSelectedRegion();

Q_SIGNALS:
    void regionsChanged();
    void isEnabledChanged();
    void selectedRegionChanged();

private:
    void storeRegions();

    SettingsAccess &m_settings;
    SettingsActionScheduler &m_scheduler;
    Catalogue m_catalogue;
    QList<GeoIPRegion> m_regions;
    bool m_isEnabled = false;
    QString m_selectedRegion;
};
