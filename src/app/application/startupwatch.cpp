#include "app/application/startupwatch.h"

#include <QCoreApplication>

#include <cstdio>

std::unique_ptr<StartupWatch> StartupWatch::fromEnvironment(QElapsedTimer sinceMain)
{
    bool ok = false;
    const int watchMs = qEnvironmentVariableIntValue("WRENLOW_STARTUP_REPORT", &ok);
    if (!ok || watchMs < 0)
        return nullptr;
    return std::make_unique<StartupWatch>(sinceMain, std::chrono::milliseconds(watchMs));
}

StartupWatch::StartupWatch(QElapsedTimer sinceMain, std::chrono::milliseconds watchAfterShown, QObject *parent)
    : QObject(parent)
    , m_clock(sinceMain)
    , m_watchAfterShown(watchAfterShown)
{
    // Each turn of the event loop ends a possible stall; a precise 1 ms timer sees every turn that
    // matters at a 50 ms scale.
    m_ticker.setTimerType(Qt::PreciseTimer);
    m_ticker.setInterval(1);
    connect(&m_ticker, &QTimer::timeout, this, &StartupWatch::tick);
    m_ticker.start();
}

void StartupWatch::stepDone(const QString &step)
{
    const qint64 now = m_clock.elapsed();
    if (now - m_last > m_longest) {
        m_longest = now - m_last;
        m_longestStep = step;
    }
    m_last = now;
}

void StartupWatch::tick()
{
    stepDone(m_shownAt < 0 ? QStringLiteral("event-loop-before-shown") : QStringLiteral("event-loop-after-shown"));
}

void StartupWatch::windowShown()
{
    if (m_shownAt >= 0)
        return;
    stepDone(QStringLiteral("show-window"));
    m_shownAt = m_clock.elapsed();
    std::fputs("wrenlow startup: window shown\n", stderr);
    std::fflush(stderr);
    QTimer::singleShot(m_watchAfterShown, this, &StartupWatch::report);
}

void StartupWatch::report()
{
    tick();
    m_ticker.stop();
    const QByteArray line = QStringLiteral("wrenlow startup: shown-ms=%1 longest-stall-ms=%2 in=%3 watched-ms=%4\n")
                                .arg(m_shownAt)
                                .arg(m_longest)
                                .arg(m_longestStep)
                                .arg(m_clock.elapsed() - m_shownAt)
                                .toUtf8();
    std::fputs(line.constData(), stderr);
    std::fflush(stderr);
    QCoreApplication::quit();
}
