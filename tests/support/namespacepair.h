#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QString>
#include <QStringList>

// Two network namespaces joined by a veth pair, for the transparent proxy's end-to-end tests and
// benchmark (root only). The server side holds the proxy server on the link address and the
// "sites" on public-looking addresses of its loopback; the client side routes everything through
// the link, so what it sends to a site is intercepted, while the link (a private range) is not.
// Removed with this object. The calling thread moves between the sides: sockets it makes and
// programs it starts belong to the side it is on.
class NamespacePair final {
public:
    enum class Side { host, server, client };

    static inline const QHostAddress serverLink { QStringLiteral("10.231.0.1") };
    static inline const QHostAddress clientLink { QStringLiteral("10.231.0.2") };
    static inline const QHostAddress clientLink6 { QStringLiteral("fd00:231::2") };
    // Sites reached through the interception.
    static inline const QHostAddress site { QStringLiteral("203.0.113.10") };
    static inline const QHostAddress otherSite { QStringLiteral("203.0.113.20") };
    static inline const QHostAddress site6 { QStringLiteral("2001:db8:2::10") };

    // `extraServerAddresses` are added to the server side's loopback as well (IPv4).
    explicit NamespacePair(const QStringList &extraServerAddresses = {});
    ~NamespacePair();
    Q_DISABLE_COPY_MOVE(NamespacePair)

    bool made() const { return m_error.isEmpty(); }
    QString errorString() const { return m_error; }
    QString name(Side side) const { return side == Side::server ? m_server : m_client; }

    // Moves the calling thread's network namespace.
    bool enter(Side side);
    // ss-server on the server's link address, TCP and UDP, with the cipher and password of
    // tunneltest::backendFor. True once it accepts connections; the thread is then on the client side.
    bool startShadowsocks(QProcess &process, const QString &configurationFile, quint16 port);
    // A command's standard output, run on one side (`ip netns exec`).
    QByteArray run(Side side, const QStringList &command) const;
    // Our table and rules on the client side: what a tunnel must never leave behind.
    QString interceptionLeftovers() const;

    // The host's rules, routes and nftables ruleset, to compare before and after.
    static QString hostSnapshot();

private:
    bool ip(const QStringList &arguments);

    QString m_server;
    QString m_client;
    int m_host = -1;
    QString m_error;
};
