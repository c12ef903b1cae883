#include "DnsSandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace lumivex::test {

namespace {

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::filesystem::path& sandboxFolder() {
    static std::filesystem::path folder;
    return folder;
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    // Truncates in place: the bind mount refers to this very file.
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool writeProcFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) return false;
    const bool ok = ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    ::close(fd);
    return ok;
}

std::string unshareNamespaces() {
    const int flags = CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWUTS;
    if (::unshare(flags) == 0) return {};
    if (errno != EPERM) return errnoText("unshare");
    // Not privileged: try a user namespace that maps us to root.
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(flags | CLONE_NEWUSER) != 0) return errnoText("unshare with a user namespace");
    writeProcFile("/proc/self/setgroups", "deny");
    if (!writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
        !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
        return errnoText("writing the user namespace's id maps");
    }
    return {};
}

std::string bringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return errnoText("socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (::ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        why = errnoText("SIOCGIFFLAGS lo");
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        if (::ioctl(fd, SIOCSIFFLAGS, &request) != 0) why = errnoText("SIOCSIFFLAGS lo");
    }
    ::close(fd);
    return why;
}

std::string bindOver(const std::filesystem::path& source, const char* target) {
    if (!std::filesystem::exists(target)) return std::string(target) + " does not exist";
    if (::mount(source.c_str(), target, nullptr, MS_BIND, nullptr) != 0) return errnoText(std::string("bind ") + target);
    return {};
}

std::string enterOnce() {
    if (std::string why = unshareNamespaces(); !why.empty()) return why;
    // Keep the replacements below out of the parent's mount namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errnoText("make / private");
    if (std::string why = bringLoopbackUp(); !why.empty()) return why;
    static const char kHostName[] = "dnstest";  // no dot: no search domain derived from it
    if (::sethostname(kHostName, sizeof kHostName - 1) != 0) return errnoText("sethostname");

    char folderTemplate[] = "/tmp/lumivex-dns-XXXXXX";
    if (::mkdtemp(folderTemplate) == nullptr) return errnoText("mkdtemp");
    sandboxFolder() = folderTemplate;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(sandboxFolder(), ignored);
    });
    writeFile(sandboxFolder() / "resolv.conf", "nameserver 127.0.0.1\n");
    writeFile(sandboxFolder() / "hosts", "127.0.0.1 localhost\n::1 localhost\n");
    if (std::string why = bindOver(sandboxFolder() / "resolv.conf", "/etc/resolv.conf"); !why.empty()) return why;
    if (std::string why = bindOver(sandboxFolder() / "hosts", "/etc/hosts"); !why.empty()) return why;
    return {};
}

// One A query for "ready.test" to 127.0.0.1:53; true when any answer comes
// back within `wait`.
bool dnsAnswers(std::chrono::milliseconds wait) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const unsigned char query[] = {0x12, 0x34, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   5,    'r',  'e',  'a',  'd',  'y',  4,    't',  'e',  's',  't',  0,
                                   0x00, 0x01, 0x00, 0x01};
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = false;
    if (::sendto(fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&server), sizeof server) ==
        static_cast<ssize_t>(sizeof query)) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(wait.count())) == 1) {
            unsigned char reply[512];
            answered = ::recv(fd, reply, sizeof reply, 0) > 0;
        }
    }
    ::close(fd);
    return answered;
}

}  // namespace

const std::string& DnsSandbox::enter() {
    static const std::string result = enterOnce();
    return result;
}

void DnsSandbox::writeResolvConf(const std::string& content) { writeFile(sandboxFolder() / "resolv.conf", content); }

DnsmasqPeer::~DnsmasqPeer() { stop(); }

std::string DnsmasqPeer::start(const std::vector<std::string>& records) {
    stop();
    std::vector<std::string> arguments = {"dnsmasq",
                                          "--keep-in-foreground",
                                          "--conf-file=/dev/null",
                                          "--pid-file=",
                                          "--no-resolv",
                                          "--no-hosts",
                                          "--bind-interfaces",
                                          "--listen-address=127.0.0.1",
                                          "--port=53",
                                          "--local=/test/",
                                          "--log-facility=-"};
    arguments.insert(arguments.end(), records.begin(), records.end());
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) return errnoText("fork");
    if (child == 0) {
        // The server must not outlive a test process that dies early.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    pid = child;

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return "dnsmasq exited at start with status " + std::to_string(status);
        }
        if (dnsAnswers(std::chrono::milliseconds(100))) return {};
    }
    stop();
    return "dnsmasq did not answer within 3 s";
}

void DnsmasqPeer::stop() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid = -1;
}

SilentUdpPeer::SilentUdpPeer(const std::string& address, unsigned short port) {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error(errnoText("socket"));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const std::string why = errnoText("bind " + address);
        ::close(fd);
        throw std::runtime_error(why);
    }
}

SilentUdpPeer::~SilentUdpPeer() {
    if (fd >= 0) ::close(fd);
}

}  // namespace lumivex::test
