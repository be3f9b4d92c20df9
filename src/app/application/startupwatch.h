#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

// Start-up figures for the start-up benchmark (bench/bench_startup.cpp); off unless the environment
// variable WRENLOW_STARTUP_REPORT is set to how many milliseconds to watch after the main window
// first appeared. Measures, on the GUI thread, the time from main() to the window shown and the
// longest time between two turns of the event loop (or two steps of main before it runs), then
// prints one line to standard error and quits the program:
//   wrenlow startup: shown-ms=<n> longest-stall-ms=<n> in=<step> watched-ms=<n>
// and, at the moment the window is shown, "wrenlow startup: window shown".
class StartupWatch final : public QObject {
    Q_OBJECT

public:
    // Nothing unless the variable is set. `sinceMain` was started as main() began.
    static std::unique_ptr<StartupWatch> fromEnvironment(QElapsedTimer sinceMain);

    StartupWatch(QElapsedTimer sinceMain, std::chrono::milliseconds watchAfterShown, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(StartupWatch)

    // A step of main() has ended; the time since the last step or turn counts as a stall of it.
    void stepDone(const QString &step);
    void windowShown();

private:
    void tick();
    void report();

    QElapsedTimer m_clock;
    QTimer m_ticker;
    std::chrono::milliseconds m_watchAfterShown;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    QString m_longestStep;
    qint64 m_shownAt = -1;
};
