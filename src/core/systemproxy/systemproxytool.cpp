#include "core/systemproxy/systemproxytool.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace {

// Enough of a tool's complaint to tell what went wrong, without flooding the log.
QString errorOutput(QProcess &process)
{
    QString text = QString::fromUtf8(process.readAllStandardError()).trimmed();
    if (text.size() > 500)
        text = text.left(500) + QStringLiteral("…");
    return text;
}

} // namespace

std::unique_ptr<ProxySettingsTool> makeProxySettingsTool(const QString &name, const SystemProxyEnvironment &environment)
{
    if (name == gsettingsToolName)
        return makeGSettingsTool(environment);
    if (name == kioslavercToolName)
        return makeKioslavercTool(environment);
    return nullptr;
}

QString findTool(const SystemProxyEnvironment &environment, const QString &name)
{
    for (const QString &directory : environment.searchPath) {
        const QFileInfo file(QDir(directory).filePath(name));
        if (file.isFile() && file.isExecutable())
            return file.absoluteFilePath();
    }
    return {};
}

ToolOutput runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &environment,
    std::chrono::milliseconds timeout)
{
    ToolOutput result;
    const QString command = QFileInfo(program).fileName() + u' ' + arguments.join(u' ');
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForStarted(int(timeout.count()))) {
        result.failure = QStringLiteral("%1 could not be started: %2").arg(command, process.errorString());
        return result;
    }
    if (!process.waitForFinished(int(timeout.count()))) {
        process.kill();
        process.waitForFinished(1000);
        result.failure = QStringLiteral("%1 did not finish within %2 ms").arg(command).arg(timeout.count());
        return result;
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        result.failure = QStringLiteral("%1 crashed: %2").arg(command, errorOutput(process));
        return result;
    }
    if (process.exitCode() != 0) {
        result.failure = QStringLiteral("%1 failed with exit code %2: %3")
                             .arg(command)
                             .arg(process.exitCode())
                             .arg(errorOutput(process));
        return result;
    }
    result.succeeded = true;
    result.standardOutput = process.readAllStandardOutput();
    return result;
}
