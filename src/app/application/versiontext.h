#pragma once

#include <QString>

// The program's version as the settings show it: "<version> (Build: <build>) - Standalone", the
// build part only when there is a build, and "Unknown" when there is neither.
QString appVersionText(const QString &version, const QString &build);

// The version text of this build (its version and build number come from the build).
QString appVersionText();
