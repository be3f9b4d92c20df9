#pragma once

#include "core/settings/appsettings.h"

// What the settings editors need of the application: the settings of the moment, replacing them in
// memory, and storing them. The application model provides it.
class SettingsAccess {
public:
    virtual ~SettingsAccess() = default;

    virtual const AppSettings &settings() const = 0;
    virtual void setSettings(const AppSettings &settings) = 0;
    // Stores the settings as they are in memory.
    virtual void saveSettings() = 0;
};
