#include "core/foundation/log.h"

Q_LOGGING_CATEGORY(lcMain, WRENLOW_APP_ID ".main")

void logDebug(const QString &message)
{
    qCDebug(lcMain).noquote() << message;
}

void logInfo(const QString &message)
{
    qCInfo(lcMain).noquote() << message;
}

void logError(const QString &message)
{
    qCCritical(lcMain).noquote() << message;
}
