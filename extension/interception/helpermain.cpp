// wrenlow-intercept: the privileged part of the transparent proxy, started through pkexec.
//   wrenlow-intercept --port <tproxy port> [--server <address>]...
// Its input carries the engine's configuration as "<byte count>\n<bytes>" and then stays open for
// as long as interception is wanted. It installs our nftables table and the policy routing, runs
// the engine as the calling user with only the two capabilities it needs, and removes everything
// when its input closes (the tunnel went), when it is told to stop, or when the engine ends. It
// takes nothing else from its caller: no paths, no rule text, no commands. Killed, it leaves no
// table (the kernel drops an owned table with its owner), no engine (which dies with it) and no
// routing rules (a child of its own removes them).
//
// Its own failures go to standard error as "wrenlow-intercept: <what>"; the engine's output passes
// through unchanged. Its exit code is the engine's, or 128 + the signal that killed the engine.

#include "interception/policyrouting.h"
#include "interception/ruleset.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <nftables/libnftables.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef WRENLOW_ENGINE_PROGRAM
#define WRENLOW_ENGINE_PROGRAM "/usr/bin/v2ray"
#endif

namespace {

// More than any configuration we write (the address ranges of many regions fit well within it).
constexpr std::size_t maximumConfiguration = 64 * 1024 * 1024;
// SO_MARK and IP_TRANSPARENT need one of CAP_NET_RAW and CAP_NET_ADMIN; the smaller one it is.
// Answering DNS from port 53 needs CAP_NET_BIND_SERVICE.
constexpr int engineCapabilities[] = { CAP_NET_RAW, CAP_NET_BIND_SERVICE };

void complain(const char *what, const char *detail = nullptr)
{
    if (detail)
        std::fprintf(stderr, "wrenlow-intercept: %s: %s\n", what, detail);
    else
        std::fprintf(stderr, "wrenlow-intercept: %s\n", what);
    std::fflush(stderr);
}

struct Arguments {
    quint16 port = 0;
    QList<QHostAddress> servers;
};

std::optional<Arguments> parse(const QStringList &arguments)
{
    Arguments parsed;
    for (qsizetype i = 1; i < arguments.size(); i += 2) {
        if (i + 1 >= arguments.size())
            return std::nullopt;
        const QString &value = arguments[i + 1];
        if (arguments[i] == u"--port") {
            bool ok = false;
            const uint port = value.toUInt(&ok);
            if (!ok || port == 0 || port > 65535 || parsed.port != 0)
                return std::nullopt;
            parsed.port = quint16(port);
        } else if (arguments[i] == u"--server") {
            QHostAddress address;
            if (!address.setAddress(value) || address.isNull())
                return std::nullopt;
            parsed.servers.append(address);
        } else {
            return std::nullopt;
        }
    }
    if (parsed.port == 0)
        return std::nullopt;
    return parsed;
}

bool readExactly(int fd, char *into, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, into, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        size -= std::size_t(got);
    }
    return true;
}

// "<byte count>\n<configuration>" from standard input, without reading past it.
std::optional<std::string> readConfiguration()
{
    std::string count;
    char c = 0;
    while (readExactly(STDIN_FILENO, &c, 1) && c != '\n') {
        if (c < '0' || c > '9' || count.size() >= 9)
            return std::nullopt;
        count += c;
    }
    if (c != '\n' || count.empty())
        return std::nullopt;
    const std::size_t size = std::stoul(count);
    if (size == 0 || size > maximumConfiguration)
        return std::nullopt;
    std::string configuration(size, '\0');
    if (!readExactly(STDIN_FILENO, configuration.data(), size))
        return std::nullopt;
    return configuration;
}

// The dynamic loader named in the engine's program headers. The engine is started through it:
// executing the engine itself would clear the ambient capabilities, since Debian gives the file a
// capability of its own (see docs/transparent-proxy.md).
std::string interpreterOf(const char *program)
{
    const int fd = ::open(program, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string interpreter;
    Elf64_Ehdr header {};
    if (::pread(fd, &header, sizeof header, 0) == ssize_t(sizeof header)
        && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == ELFCLASS64
        && header.e_phentsize == sizeof(Elf64_Phdr)) {
        for (int i = 0; i < header.e_phnum; ++i) {
            Elf64_Phdr entry {};
            if (::pread(fd, &entry, sizeof entry, off_t(header.e_phoff + i * sizeof entry)) != ssize_t(sizeof entry))
                break;
            if (entry.p_type != PT_INTERP || entry.p_filesz < 2 || entry.p_filesz > 4096)
                continue;
            interpreter.resize(entry.p_filesz);
            if (::pread(fd, interpreter.data(), entry.p_filesz, off_t(entry.p_offset)) != ssize_t(entry.p_filesz))
                interpreter.clear();
            // Stored with its terminating NUL.
            if (!interpreter.empty() && interpreter.back() == '\0')
                interpreter.pop_back();
            break;
        }
    }
    ::close(fd);
    return interpreter;
}

// The user the engine runs as: the one pkexec was asked by, or whoever ran us directly.
struct EngineUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::string home;
};

std::optional<EngineUser> callingUser()
{
    EngineUser user;
    user.uid = ::getuid();
    if (const char *pkexecUid = std::getenv("PKEXEC_UID")) {
        char *end = nullptr;
        const unsigned long uid = std::strtoul(pkexecUid, &end, 10);
        if (*pkexecUid == '\0' || *end != '\0')
            return std::nullopt;
        user.uid = uid_t(uid);
    }
    passwd entry {};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(user.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    user.gid = entry.pw_gid;
    user.home = entry.pw_dir;
    int count = 64;
    user.groups.resize(std::size_t(count));
    if (::getgrouplist(entry.pw_name, user.gid, user.groups.data(), &count) < 0) {
        user.groups.resize(std::size_t(count));
        if (::getgrouplist(entry.pw_name, user.gid, user.groups.data(), &count) < 0)
            return std::nullopt;
    }
    user.groups.resize(std::size_t(count));
    return user;
}

[[noreturn]] void childFails(const char *what)
{
    // Only async-signal-safe calls after fork.
    const char prefix[] = "wrenlow-intercept: the engine could not be started: ";
    [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, prefix, sizeof prefix - 1);
    written = ::write(STDERR_FILENO, what, std::strlen(what));
    written = ::write(STDERR_FILENO, "\n", 1);
    ::_exit(127);
}

// In the forked child: become the user, keep the two capabilities as ambient ones, so they survive
// the exec, and nothing else, and never gain more (no bounding set beyond them, no new privileges).
[[noreturn]] void becomeEngine(
    const EngineUser &user, int lastCapability, int configuration, pid_t helper, char *const *argv, char *const *envp)
{
    if (::dup2(configuration, STDIN_FILENO) < 0)
        childFails("no input");
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int capability = 0; capability <= lastCapability; ++capability) {
        if (capability != engineCapabilities[0] && capability != engineCapabilities[1]
            && ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
            childFails("the bounding set could not be reduced");
    }
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0 || ::setgroups(user.groups.size(), user.groups.data()) != 0
        || ::setresgid(user.gid, user.gid, user.gid) != 0 || ::setresuid(user.uid, user.uid, user.uid) != 0)
        childFails("it could not become the user");
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] {};
    for (const int capability : engineCapabilities) {
        data[CAP_TO_INDEX(capability)].effective |= CAP_TO_MASK(capability);
        data[CAP_TO_INDEX(capability)].permitted |= CAP_TO_MASK(capability);
        data[CAP_TO_INDEX(capability)].inheritable |= CAP_TO_MASK(capability);
    }
    if (::syscall(SYS_capset, &header, data) != 0)
        childFails("its capabilities could not be set");
    for (const int capability : engineCapabilities) {
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0) != 0)
            childFails("its capabilities could not be kept");
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        childFails("no new privileges could not be set");
    // Set after the change of user, which clears it: an engine never outlives its helper.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != helper)
        ::_exit(1);
    if (::chdir(user.home.c_str()) != 0 && ::chdir("/") != 0)
        childFails("no working directory");
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv, envp);
    childFails("the loader could not be executed");
}

// The table lives as long as this context's netlink socket: it was made with the owner flag.
struct NftContextDeleter {
    void operator()(nft_ctx *context) const { nft_ctx_free(context); }
};
using NftContext = std::unique_ptr<nft_ctx, NftContextDeleter>;

// Ends the engine: asked first, killed if it has not gone within two seconds. Returns its status.
int stopEngine(pid_t engine)
{
    int status = 0;
    ::kill(engine, SIGTERM);
    for (int waited = 0; waited < 100; ++waited) {
        if (::waitpid(engine, &status, WNOHANG) == engine)
            return status;
        ::usleep(20000);
    }
    ::kill(engine, SIGKILL);
    ::waitpid(engine, &status, 0);
    return status;
}

// The kernel drops the table with a killed helper, but not the routing rules: a small child of
// ours outlives it, waits for the end of a pipe only the helper holds, and removes them then.
// Harmless when the helper removed them itself; killed together with the helper, the next start
// removes what is left.
void startRoutingReaper(const PolicyRouting &routing)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    const pid_t reaper = ::fork();
    if (reaper != 0) {
        ::close(ends[0]);
        // Kept open, never written: closes when this process ends, however it ends.
        if (reaper < 0)
            ::close(ends[1]);
        return;
    }
    ::close(ends[1]);
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (const int standard : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO })
        ::dup2(nothing, standard);
    // Its own session: a signal to the helper's process group is not one to the reaper.
    ::setsid();
    char byte = 0;
    while (::read(ends[0], &byte, 1) < 0 && errno == EINTR) { }
    PolicyRouting(routing).remove();
    ::_exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    // Run as root on another user's behalf: nothing of the caller's environment is trusted; pkexec
    // keeps PKEXEC_UID only.
    const char *pkexecUid = std::getenv("PKEXEC_UID");
    const std::string caller = pkexecUid ? pkexecUid : "";
    ::clearenv();
    ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    if (!caller.empty())
        ::setenv("PKEXEC_UID", caller.c_str(), 1);

    QCoreApplication app(argc, argv);
    const std::optional<Arguments> arguments = parse(QCoreApplication::arguments());
    if (!arguments) {
        std::fprintf(stderr,
            "usage: wrenlow-intercept --port <port> [--server <address>]...\n"
            "The engine's configuration comes on standard input as \"<byte count>\\n<bytes>\".\n");
        return 2;
    }
    const std::optional<std::string> configuration = readConfiguration();
    if (!configuration) {
        complain("no engine configuration came on its input");
        return 2;
    }
    const std::optional<EngineUser> user = callingUser();
    if (!user) {
        complain("the calling user is unknown");
        return 1;
    }
    const std::string loader = interpreterOf(WRENLOW_ENGINE_PROGRAM);
    if (loader.empty()) {
        complain("the engine is not installed, or is not a program this helper can start", WRENLOW_ENGINE_PROGRAM);
        return 1;
    }
    int lastCapability = CAP_LAST_CAP;
    if (FILE *file = std::fopen("/proc/sys/kernel/cap_last_cap", "re")) {
        if (std::fscanf(file, "%d", &lastCapability) != 1)
            lastCapability = CAP_LAST_CAP;
        std::fclose(file);
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaddset(&stopSignals, signal);
    // Taken only while waiting below, so a stop request is never lost between two checks.
    sigset_t waiting;
    ::sigprocmask(SIG_BLOCK, &stopSignals, &waiting);
    struct sigaction ignore { };
    ignore.sa_handler = [](int) {};
    for (const int signal : { SIGTERM, SIGINT, SIGHUP })
        sigaction(signal, &ignore, nullptr);
    // The tunnel may be gone when the engine's last words are written.
    std::signal(SIGPIPE, SIG_IGN);

    NftContext nft(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!nft) {
        complain("nftables is not available");
        return 1;
    }
    nft_ctx_buffer_error(nft.get());
    const QByteArray ruleset = interceptionRuleset({ arguments->port, arguments->servers }).toUtf8();
    if (nft_run_cmd_from_buffer(nft.get(), ruleset.constData()) != 0) {
        complain("the interception rules were refused", nft_ctx_get_error_buffer(nft.get()));
        return 1;
    }
    PolicyRouting routing;
    startRoutingReaper(routing);
    if (const QString failure = routing.install(); !failure.isEmpty()) {
        complain(qPrintable(failure));
        return 1;
    }

    int exitCode = 1;
    int pipeEnds[2];
    std::string program = WRENLOW_ENGINE_PROGRAM;
    std::string configFlag = "-config";
    std::string configSource = "stdin:";
    std::string path = "PATH=/usr/bin:/bin";
    std::string home = "HOME=" + user->home;
    std::string loaderCopy = loader;
    char *engineArguments[] = { loaderCopy.data(), program.data(), configFlag.data(), configSource.data(), nullptr };
    char *engineEnvironment[] = { path.data(), home.data(), nullptr };
    const pid_t helper = ::getpid();
    pid_t engine = -1;
    if (::pipe2(pipeEnds, O_CLOEXEC) == 0)
        engine = ::fork();
    if (engine == 0)
        becomeEngine(*user, lastCapability, pipeEnds[0], helper, engineArguments, engineEnvironment);
    if (engine < 0) {
        complain("the engine could not be started", std::strerror(errno));
    } else {
        ::close(pipeEnds[0]);
        std::printf("wrenlow-intercept engine process %d\n", int(engine));
        std::fflush(stdout);
        // The engine reads its configuration to the end before it starts; a pipe holds only 64 KiB.
        const char *next = configuration->data();
        std::size_t left = configuration->size();
        while (left > 0) {
            const ssize_t written = ::write(pipeEnds[1], next, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            next += written;
            left -= std::size_t(written);
        }
        ::close(pipeEnds[1]);

        const int engineExit = int(::syscall(SYS_pidfd_open, engine, 0));
        if (engineExit < 0)
            complain("the engine cannot be watched", std::strerror(errno));
        pollfd watched[] = { { STDIN_FILENO, POLLIN, 0 }, { engineExit, POLLIN, 0 } };
        bool engineEnded = false;
        char buffer[256];
        while (engineExit >= 0) {
            const int ready = ::ppoll(watched, 2, nullptr, &waiting);
            if (ready < 0 && errno == EINTR)
                break; // told to stop
            if (ready < 0)
                break;
            if (watched[1].revents != 0) {
                engineEnded = true;
                break;
            }
            if (watched[0].revents != 0) {
                const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
                if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
                    break; // the tunnel closed our input, or went
            }
        }
        int status = 0;
        if (engineEnded)
            ::waitpid(engine, &status, 0);
        else
            status = stopEngine(engine);
        exitCode = engineEnded ? (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status)) : 0;
    }
    routing.remove();
    nft_run_cmd_from_buffer(nft.get(), "delete table inet wrenlow");
    return exitCode;
}
