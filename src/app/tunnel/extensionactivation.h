#pragma once

#include <QObject>
#include <QString>

// The operating system's activation of the tunnel program. submit() returns at once; the answer
// comes later as one of the signals, on the main thread.
class ExtensionActivation : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // May be called again while a request is pending; each call is a new request.
    virtual void submit() = 0;

Q_SIGNALS:
    void needsUserApproval();
    // 0: completed, 1: completes after a reboot.
    void finished(int result);
    void failed(const QString &description);
};
