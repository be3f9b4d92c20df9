// Start-up of the shipped program with a 20,000-server catalogue: the time from process start to
// the main window shown, and the longest stall of the GUI thread from main() until two seconds
// after that (the tunnel program's activation and the profile load included).
//
// Runs build/bin/wrenlow offscreen over a private home, with WRENLOW_STARTUP_REPORT set so that
// the program reports its own GUI-thread figures (src/app/application/startupwatch.h) and quits.
// Targets: shown < 500 ms, longest stall < 50 ms.

#include "app/catalogue/groupcollection.h"
#include "core/catalogue/server.h"
#include "core/foundation/defaultsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

constexpr int groupCount = 20;
constexpr int serversPerGroup = 1000;
constexpr int runs = 5;
constexpr int watchAfterShownMs = 2000;

void storeCatalogue(const QString &directory)
{
    DefaultsStore store(directory);
    GroupCollection groups(store);
    for (int g = 0; g < groupCount; ++g) {
        QList<ServerPtr> servers;
        for (int s = 0; s < serversPerGroup; ++s) {
            const int n = g * serversPerGroup + s;
            servers.append(std::make_shared<Server>(u"Server %1"_s.arg(n),
                ShadowsockSettings {
                    u"host%1.example.net"_s.arg(n), quint16(1000 + n % 60000), ShadowsocksCipher::aes256Gcm, u"pw"_s },
                false));
        }
        groups.addSubscription(std::make_shared<ServerGroup>(
            SubscriptionType { u"Provider %1"_s.arg(g), u"https://example.net/sub/%1"_s.arg(g), true }, servers));
    }
    groups.save();
    store.waitForPendingWrites();
}

struct Run {
    qint64 processToShownMs = -1;
    qint64 mainToShownMs = -1;
    qint64 longestStallMs = -1;
    QString stallStep;
};

Run runOnce(const QString &home)
{
    Run run;
    QProcess app;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/config"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, home + u"/run"_s);
    environment.insert(u"WRENLOW_STARTUP_REPORT"_s, QString::number(watchAfterShownMs));
    environment.remove(u"XDG_CURRENT_DESKTOP"_s);
    environment.remove(u"QT_LOGGING_RULES"_s);
    app.setProcessEnvironment(environment);

    QElapsedTimer clock;
    QByteArray output;
    QObject::connect(&app, &QProcess::readyReadStandardError, &app, [&] {
        output += app.readAllStandardError();
        if (run.processToShownMs < 0 && output.contains("wrenlow startup: window shown"))
            run.processToShownMs = clock.elapsed();
    });
    clock.start();
    app.start(QStringLiteral(WRENLOW_APP_PATH), {});
    if (!app.waitForFinished(60000)) {
        app.kill();
        app.waitForFinished();
    }
    output += app.readAllStandardError();
    const QRegularExpression report(u"shown-ms=(\\d+) longest-stall-ms=(\\d+) in=(\\S+)"_s);
    const QRegularExpressionMatch match = report.match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        std::fprintf(stderr, "no report from the program; its output:\n%s\n", output.constData());
        return run;
    }
    run.mainToShownMs = match.captured(1).toLongLong();
    run.longestStallMs = match.captured(2).toLongLong();
    run.stallStep = match.captured(3);
    return run;
}

QString loadAverage()
{
    QFile file(u"/proc/loadavg"_s);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).section(u' ', 0, 2) : u"?"_s;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    QDir(home.path()).mkpath(u"run"_s);
    QFile::setPermissions(home.filePath(u"run"_s), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    storeCatalogue(home.filePath(u"config/wrenlow"_s));
    const qint64 bytes = QFile(home.filePath(u"config/wrenlow/groups.json"_s)).size();
    std::printf("start-up with %d servers (groups.json %.1f MB), %d runs, load average %s\n",
        groupCount * serversPerGroup, double(bytes) / 1e6, runs, qPrintable(loadAverage()));

    std::vector<Run> results;
    for (int i = 0; i < runs; ++i) {
        const Run run = runOnce(home.path());
        if (run.longestStallMs < 0)
            return 1;
        std::printf("  run %d: process start to window shown %lld ms (main to shown %lld ms), longest GUI stall "
                    "%lld ms in %s\n",
            i + 1, static_cast<long long>(run.processToShownMs), static_cast<long long>(run.mainToShownMs),
            static_cast<long long>(run.longestStallMs), qPrintable(run.stallStep));
        results.push_back(run);
    }
    const auto median = [&](auto field) {
        std::vector<qint64> values;
        for (const Run &run : results)
            values.push_back(run.*field);
        std::sort(values.begin(), values.end());
        return static_cast<long long>(values[values.size() / 2]);
    };
    const auto worst = [&](auto field) {
        qint64 value = 0;
        for (const Run &run : results)
            value = std::max(value, run.*field);
        return static_cast<long long>(value);
    };
    std::printf("process start to main window shown: median %lld ms, worst %lld ms (target < 500 ms)\n",
        median(&Run::processToShownMs), worst(&Run::processToShownMs));
    std::printf("longest GUI-thread stall:           median %lld ms, worst %lld ms (target < 50 ms)\n",
        median(&Run::longestStallMs), worst(&Run::longestStallMs));
    return 0;
}
