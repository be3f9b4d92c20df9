#include "core/foundation/appid.h"

#include <QStandardPaths>

QString appRuntimeDirectory()
{
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty())
        runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtime + u'/' + appId();
}
