#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

class DefaultsStore;

// Where the system proxy settings live and how their tools are run. Tests point every part of it
// at a private directory.
struct SystemProxyEnvironment {
    // XDG_CURRENT_DESKTOP: colon-separated names, e.g. "ubuntu:GNOME" or "KDE".
    QString desktop;
    // The directories searched for gsettings, kreadconfig5/6, kwriteconfig5/6 and dbus-send.
    QStringList searchPath;
    // The tools' environment: XDG_CONFIG_HOME, GSETTINGS_BACKEND, DBUS_SESSION_BUS_ADDRESS, ...
    QProcessEnvironment toolEnvironment;
    // The limit for each call of a tool; one that takes longer is killed and counts as failed.
    std::chrono::milliseconds toolTimeout = std::chrono::seconds(5);

    // The environment of this process.
    static SystemProxyEnvironment current();
};

// Points the desktop's proxy settings at the tunnel's HTTP proxy on 127.0.0.1 and puts the user's
// own settings back afterwards (docs/system-proxy.md).
//
// GNOME and the desktops that share its settings go through gsettings (org.gnome.system.proxy);
// KDE through kwriteconfig6/5 on kioslaverc, plus gsettings for its GTK programs. Before the first
// change, the user's values of exactly the keys to be written are kept in a marker (key
// "system-proxy" of the store), so that a run that ends without restore() can be undone by the
// next one.
//
// How the programs use it:
// - The tunnel calls recoverLeftover() at start; the app has `wrenlow-tunnel --recover-system-proxy`
//   do it, so that its GUI thread never waits for the tools.
// - The tunnel calls apply(port) when it starts with the systemProxy switch on, and restore() when
//   it stops and on SIGTERM, SIGINT and SIGHUP (from the event loop, not the signal handler: the
//   tools are run with QProcess).
//
// Every call is synchronous (a handful of short tool runs), never throws, and logs what it did.
class SystemProxy final {
public:
    enum class Result {
        applied,
        // No desktop whose settings we know, or none of its tools: nothing was touched.
        notSupported,
        // A tool failed (logged with its output); whatever had been changed was put back.
        failed,
    };

    explicit SystemProxy(SystemProxyEnvironment environment, DefaultsStore &store);
    // This process's environment, and a store of its own in markerDirectory().
    SystemProxy();
    ~SystemProxy();
    Q_DISABLE_COPY_MOVE(SystemProxy)

    // ~/.config/wrenlow, where the app and the tunnel both find the marker.
    static QString markerDirectory();
    // The store key of the marker.
    static QString markerKey();

    // Points the settings at 127.0.0.1:port. Settings left by an earlier run are restored first;
    // when that fails, or another live process of ours owns them, nothing is changed.
    Result apply(quint16 port);

    // Puts back the user's values, then removes the marker. A key the user (or another program)
    // changed since apply() keeps its new value: only keys that still hold what we wrote are
    // restored. Does nothing when nothing was applied; safe to call any number of times. Returns
    // false when a tool failed: the marker then stays for the next attempt.
    bool restore();

    // Restores what a run that crashed or was killed left applied, when its marker's process is
    // gone; a running tunnel's settings are left to it. Returns false when a tool failed.
    bool recoverLeftover();

private:
    SystemProxyEnvironment m_environment;
    std::unique_ptr<DefaultsStore> m_ownStore;
    DefaultsStore *m_store;
};
