// wrenlow-intercept: the privileged part of the transparent proxy, started through pkexec.
//   wrenlow-intercept --port <tproxy port>
// Its input carries engine configurations, each as "<byte count>[ <server address>]...\n<bytes>",
// and stays open for as long as interception is wanted. It installs our nftables table and the
// policy routing, runs the engine as the calling user with only the two capabilities it needs,
// replaces the engine (and the server addresses the rules skip) with each new configuration, and
// removes everything when its input closes (the tunnel went), when it is told to stop, or when the
// engine ends. It takes nothing else from its caller: no paths, no rule text, no commands. Killed,
// it leaves no table (the kernel drops an owned table with its owner), no engine (which dies with
// it) and no routing rules (a child of its own removes them).
//
// Its own failures go to standard error as "wrenlow-intercept: <what>"; the engine's output passes
// through unchanged. Its exit code is the engine's, or 128 + the signal that killed the engine.

#include "interception/policyrouting.h"
#include "interception/ruleset.h"

#include <QCoreApplication>
#include <QHostAddress>

#include <nftables/libnftables.h>

#include <algorithm>
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
// A frame's first line: the byte count and a few addresses.
constexpr std::size_t maximumHeader = 4096;
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

// --port <1–65535>, once, and nothing else.
std::optional<quint16> parsePort(const QStringList &arguments)
{
    if (arguments.size() != 3 || arguments[1] != u"--port")
        return std::nullopt;
    bool ok = false;
    const uint port = arguments[2].toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || arguments[2].front() == u'+')
        return std::nullopt;
    return quint16(port);
}

// One configuration for the engine, and the proxy server's addresses that go with it.
struct Frame {
    std::string configuration;
    QList<QHostAddress> servers;
};

// Takes one whole frame, "<byte count>[ <server address>]...\n<configuration>", off the front of
// `input`: nothing while it is still incomplete; `bad` set when it can never be one.
std::optional<Frame> takeFrame(std::string &input, bool &bad)
{
    const std::size_t end = input.find('\n');
    if (end == std::string::npos || end > maximumHeader) {
        bad = input.size() > maximumHeader;
        return std::nullopt;
    }
    const QStringList words = QString::fromLatin1(input.data(), qsizetype(end)).split(u' ');
    const QString &count = words.first();
    bad = count.isEmpty() || count.size() > 9
        || !std::all_of(count.begin(), count.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const std::size_t size = bad ? 0 : count.toULong();
    bad = bad || size == 0 || size > maximumConfiguration;
    Frame frame;
    for (qsizetype i = 1; !bad && i < words.size(); ++i) {
        QHostAddress address;
        bad = !address.setAddress(words[i]) || !address.scopeId().isEmpty();
        frame.servers.append(address);
    }
    if (bad || input.size() - end - 1 < size)
        return std::nullopt;
    frame.configuration = input.substr(end + 1, size);
    input.erase(0, end + 1 + size);
    return frame;
}

// Reads what has arrived on standard input onto `input`; false at its end or on an error.
bool readInput(std::string &input)
{
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        input.append(chunk, std::size_t(got));
        return true;
    }
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
    // An ignored signal stays ignored across exec; the helper's own choice is not the engine's.
    struct sigaction standard { };
    standard.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &standard, nullptr);
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

// What it takes to start the engine, prepared before any fork.
struct EngineStart {
    EngineUser user;
    int lastCapability = CAP_LAST_CAP;
    std::string loader;
    std::string program = WRENLOW_ENGINE_PROGRAM;
    std::string configFlag = "-config";
    std::string configSource = "stdin:";
    std::string path = "PATH=/usr/bin:/bin";
    std::string home;
};

// Starts the engine with the configuration on its input and says its process; -1 when it could not.
pid_t startEngine(EngineStart &start, const std::string &configuration)
{
    char *arguments[]
        = { start.loader.data(), start.program.data(), start.configFlag.data(), start.configSource.data(), nullptr };
    char *environment[] = { start.path.data(), start.home.data(), nullptr };
    const pid_t helper = ::getpid();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    const pid_t engine = ::fork();
    if (engine == 0)
        becomeEngine(start.user, start.lastCapability, ends[0], helper, arguments, environment);
    ::close(ends[0]);
    if (engine > 0) {
        std::printf("wrenlow-intercept engine process %d\n", int(engine));
        std::fflush(stdout);
        // The engine reads its configuration to the end before it starts; a pipe holds only 64 KiB.
        const char *next = configuration.data();
        std::size_t left = configuration.size();
        while (left > 0) {
            const ssize_t written = ::write(ends[1], next, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            next += written;
            left -= std::size_t(written);
        }
    }
    ::close(ends[1]);
    return engine;
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
    const std::optional<quint16> port = parsePort(QCoreApplication::arguments());
    if (!port) {
        std::fprintf(stderr,
            "usage: wrenlow-intercept --port <port>\n"
            "Engine configurations come on standard input, each as "
            "\"<byte count>[ <server address>]...\\n<bytes>\"; a new one replaces the running engine.\n");
        return 2;
    }
    std::string input;
    std::optional<Frame> first;
    bool bad = false;
    while (!(first = takeFrame(input, bad)) && !bad && readInput(input)) { }
    if (!first) {
        complain("no engine configuration came on its input");
        return 2;
    }
    EngineStart start;
    if (const std::optional<EngineUser> user = callingUser()) {
        start.user = *user;
        start.home = "HOME=" + user->home;
    } else {
        complain("the calling user is unknown");
        return 1;
    }
    start.loader = interpreterOf(WRENLOW_ENGINE_PROGRAM);
    if (start.loader.empty()) {
        complain("the engine is not installed, or is not a program this helper can start", WRENLOW_ENGINE_PROGRAM);
        return 1;
    }
    if (FILE *file = std::fopen("/proc/sys/kernel/cap_last_cap", "re")) {
        if (std::fscanf(file, "%d", &start.lastCapability) != 1)
            start.lastCapability = CAP_LAST_CAP;
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
    const auto runNft = [&](const QString &commands, const char *failure) {
        if (nft_run_cmd_from_buffer(nft.get(), commands.toUtf8().constData()) == 0)
            return true;
        complain(failure, nft_ctx_get_error_buffer(nft.get()));
        return false;
    };
    // Without IPv6 on the loopback interface, IPv6 is refused rather than intercepted.
    const bool ipv6 = loopbackHasIPv6();
    if (!runNft(interceptionRuleset(*port, ipv6), "the interception rules were refused"))
        return 1;
    PolicyRouting routing;
    startRoutingReaper(routing);
    if (const QString failure = routing.install(ipv6); !failure.isEmpty()) {
        complain(qPrintable(failure));
        return 1;
    }

    // Each configuration replaces the running engine; the rules stay in place meanwhile.
    int exitCode = 0;
    pid_t engine = -1;
    int engineExit = -1;
    bool engineEnded = false;
    std::optional<Frame> next = std::move(first);
    for (;;) {
        while (next) {
            if (engine > 0) {
                stopEngine(engine);
                ::close(engineExit);
                engine = -1;
                engineExit = -1;
            }
            if (!runNft(serverAddressesUpdate(next->servers), "the server's addresses were refused"))
                break;
            engine = startEngine(start, next->configuration);
            engineExit = engine > 0 ? int(::syscall(SYS_pidfd_open, engine, 0)) : -1;
            if (engine < 0 || engineExit < 0) {
                complain("the engine could not be started", std::strerror(errno));
                break;
            }
            next = takeFrame(input, bad);
        }
        if (engineExit < 0 || bad) {
            if (bad)
                complain("a malformed configuration came on its input");
            exitCode = 1;
            break;
        }
        pollfd watched[] = { { STDIN_FILENO, POLLIN, 0 }, { engineExit, POLLIN, 0 } };
        const int ready = ::ppoll(watched, 2, nullptr, &waiting);
        if (ready < 0)
            break; // told to stop
        if (watched[1].revents != 0) {
            engineEnded = true;
            break;
        }
        if (watched[0].revents != 0) {
            if (!readInput(input))
                break; // the tunnel closed our input, or went
            next = takeFrame(input, bad);
        }
    }
    if (engine > 0) {
        int status = 0;
        if (engineEnded)
            ::waitpid(engine, &status, 0);
        else
            stopEngine(engine);
        if (engineEnded)
            exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }
    routing.remove();
    nft_run_cmd_from_buffer(nft.get(), "delete table inet wrenlow");
    return exitCode;
}
