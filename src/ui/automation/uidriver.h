#pragma once

#include <QLocalServer>
#include <QObject>

#include <memory>

class QLocalSocket;

// Lets an end-to-end test drive the real program as a person would. Started with
// WRENLOW_UI_DRIVER set to a socket path, the program answers one-line commands there, on a
// user-only socket; without it nothing listens.
//   find <objectName>   ->  "ok <visible> <enabled> <checked> <text>" (flags 0/1) or "missing"
//   click <objectName>  ->  "ok" once clicked (an action: triggered), or "missing"
//   grab <objectName> <file>  ->  "ok" once a picture of the widget is saved there
// Widgets and actions are found by object name among the top-level widgets' children.
class UiDriver final : public QObject {
    Q_OBJECT

public:
    static std::unique_ptr<UiDriver> fromEnvironment();
    explicit UiDriver(const QString &socketPath, QObject *parent = nullptr);

private:
    void serve();
    QByteArray answer(const QByteArray &command) const;

    QLocalServer m_server;
};
