#pragma once

#include <QList>
#include <QObject>

#include <initializer_list>

class QSocketNotifier;

// Turns POSIX signals into a Qt signal on the event loop. The handler only writes the signal's
// number to a socket pair; everything else happens in received(). One instance at a time.
class SignalWatcher final : public QObject {
    Q_OBJECT

public:
    explicit SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent = nullptr);
    // Puts the default handling of the watched signals back.
    ~SignalWatcher() override;
    Q_DISABLE_COPY_MOVE(SignalWatcher)

    bool isValid() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignals();

    int m_fds[2] = { -1, -1 };
    QList<int> m_signalNumbers;
    QSocketNotifier *m_notifier = nullptr;
};
