#pragma once

#include <QString>

class TunnelProviderError;

// last-error.json beside the socket: the error that ended the last run, kept for an application
// that was not there to receive the error frame (docs/tunnel-ipc.md).
QString lastErrorPath(const QString &socketPath);

// Writes the error's platform form (encodePlatformError) atomically, readable by the user alone.
// Logs and returns false when it cannot.
bool writeLastError(const QString &path, const TunnelProviderError &error);

// Removes an error left by an earlier run; nothing when there is none.
void removeLastError(const QString &path);
