#pragma once

#include <QLoggingCategory>
#include <QString>

// The program's one log: subsystem <app id> (net.quorvel.wrenlow), category "main".
Q_DECLARE_LOGGING_CATEGORY(lcMain)

// The three levels the program logs at; texts are passed complete so they read exactly as written.
void logDebug(const QString &message);
void logInfo(const QString &message);
void logError(const QString &message);
