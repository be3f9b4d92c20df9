#include "ui/automation/uidriver.h"

#include "core/foundation/log.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMouseEvent>
#include <QTimer>

namespace {

QObject *findObject(const QString &name)
{
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == name)
            return top;
        if (auto *found = top->findChild<QObject *>(name))
            return found;
    }
    return nullptr;
}

QString textOf(const QWidget *widget)
{
    if (const auto *label = qobject_cast<const QLabel *>(widget))
        return label->text();
    if (const auto *button = qobject_cast<const QAbstractButton *>(widget))
        return button->text();
    if (const auto *edit = qobject_cast<const QLineEdit *>(widget))
        return edit->text();
    return widget->windowTitle();
}

void click(QWidget *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget)) {
        button->click();
        return;
    }
    const QPointF centre = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &release);
}

} // namespace

std::unique_ptr<UiDriver> UiDriver::fromEnvironment()
{
    const QString path = qEnvironmentVariable("WRENLOW_UI_DRIVER");
    if (path.isEmpty())
        return nullptr;
    return std::make_unique<UiDriver>(path);
}

UiDriver::UiDriver(const QString &socketPath, QObject *parent)
    : QObject(parent)
{
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &UiDriver::serve);
    QLocalServer::removeServer(socketPath);
    if (!m_server.listen(socketPath))
        logError(QStringLiteral("The UI driver cannot listen: %1").arg(m_server.errorString()));
}

void UiDriver::serve()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            while (socket->canReadLine())
                socket->write(answer(socket->readLine().trimmed()) + '\n');
            socket->flush();
        });
    }
}

QByteArray UiDriver::answer(const QByteArray &command) const
{
    const qsizetype space = command.indexOf(' ');
    const QByteArray verb = command.left(space);
    if (verb != "find" && verb != "click" && verb != "grab")
        return "unknown command";
    // "grab <name> <file>" saves a picture of the widget as it is on screen now.
    const QList<QByteArray> words = command.mid(space + 1).split(' ');
    QObject *object = space > 0 ? findObject(QString::fromUtf8(words.first())) : nullptr;
    auto *widget = qobject_cast<QWidget *>(object);
    auto *action = qobject_cast<QAction *>(object);
    if (!widget && !action)
        return "missing";
    if (verb == "grab") {
        if (!widget || words.size() < 2)
            return "missing";
        return widget->grab().save(QString::fromUtf8(words.at(1))) ? "ok" : "cannot save";
    }
    if (verb == "click") {
        // After the answer is out: a click may open a modal dialog or end the program.
        QTimer::singleShot(0, object, [action, widget] {
            if (action)
                action->trigger();
            else
                click(widget);
        });
        return "ok";
    }
    const auto flag = [](bool value) { return value ? "1 " : "0 "; };
    if (action) {
        return QByteArray("ok ") + flag(action->isVisible()) + flag(action->isEnabled()) + flag(action->isChecked())
            + action->text().toUtf8();
    }
    const auto *button = qobject_cast<const QAbstractButton *>(widget);
    return QByteArray("ok ") + flag(widget->isVisible()) + flag(widget->isEnabled())
        + flag(button && button->isChecked()) + textOf(widget).toUtf8().replace('\n', ' ');
}
