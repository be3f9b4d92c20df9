#include "core/foundation/signalwatcher.h"

#include "core/foundation/log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t writeFd = -1;

extern "C" void forwardSignal(int signalNumber)
{
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // Async-signal-safe; a full pipe only loses a repeat of a signal already on its way.
    [[maybe_unused]] const auto written = ::write(writeFd, &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        logError(QStringLiteral("Cannot watch signals: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    writeFd = m_fds[1];
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignals);

    struct sigaction action { };
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : signalNumbers) {
        if (::sigaction(signalNumber, &action, nullptr) == 0)
            m_signalNumbers.append(signalNumber);
    }
}

SignalWatcher::~SignalWatcher()
{
    for (const int signalNumber : std::as_const(m_signalNumbers))
        std::signal(signalNumber, SIG_DFL);
    writeFd = -1;
    delete m_notifier;
    for (const int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SignalWatcher::readSignals()
{
    unsigned char bytes[16];
    for (;;) {
        const auto count = ::read(m_fds[0], bytes, sizeof bytes);
        if (count <= 0)
            break;
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT received(int(bytes[i]));
    }
}
