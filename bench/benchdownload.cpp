#include "benchdownload.h"

#include <QElapsedTimer>

#include <cstring>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

double threadCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

Download download(const QHostAddress &to, quint16 port, const QByteArray &request, qint64 expected)
{
    Download result;
    const bool ipv6 = to.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        result.error = QStringLiteral("no socket");
        return result;
    }
    const timeval limit { 30, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_storage address {};
    socklen_t addressSize = 0;
    if (ipv6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = to.toIPv6Address();
        std::memcpy(&in6->sin6_addr, &bytes, sizeof bytes);
        addressSize = sizeof *in6;
    } else {
        auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        in4->sin_addr.s_addr = htonl(to.toIPv4Address());
        addressSize = sizeof *in4;
    }

    const double cpuBefore = threadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), addressSize) != 0
        || ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) != request.size()) {
        ::close(fd);
        result.error = QStringLiteral("cannot send the request to %1 port %2").arg(to.toString()).arg(port);
        return result;
    }

    static char buffer[1 << 20];
    QByteArray head;
    bool inBody = false;
    while (result.bytes < expected) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        if (inBody) {
            result.bytes += got;
            continue;
        }
        head.append(buffer, got);
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0)
            continue;
        if (!head.startsWith("HTTP/1.1 200") && !head.startsWith("HTTP/1.0 200")) {
            result.error = QStringLiteral("the answer was %1").arg(QString::fromLatin1(head.first(head.indexOf('\r'))));
            break;
        }
        inBody = true;
        result.bytes = head.size() - (end + 4);
    }
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.clientCpuSeconds = threadCpuSeconds() - cpuBefore;
    ::close(fd);
    if (result.error.isEmpty() && result.bytes != expected)
        result.error = QStringLiteral("%1 of %2 bytes arrived").arg(result.bytes).arg(expected);
    return result;
}
