#include "platform/flutter/UiSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace flutter {
namespace {

std::string errnoText(int error) { return std::strerror(error); }

// A directory of this user that nobody else may enter.
bool isPrivateDirectory(const std::string& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        why = path + ": " + errnoText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = path + " is not a directory";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        why = path + " belongs to another user";
        return false;
    }
    if ((st.st_mode & 077) != 0) {
        why = path + " may be entered by other users";
        return false;
    }
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// True when something accepts connections on the path.
bool someoneListens(const std::string& path) {
    sockaddr_un addr;
    if (!fillAddress(path, addr)) return false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

std::optional<std::string> DefaultUiSocketPath(std::string& error) {
    std::string why;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        if (isPrivateDirectory(runtime, why)) return std::string(runtime) + "/lumivex-ui.sock";
    }
    const std::string dir = "/tmp/lumivex-" + std::to_string(::getuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + errnoText(errno);
        return std::nullopt;
    }
    if (!isPrivateDirectory(dir, why)) {
        error = "no private directory for the UI socket: " + why;
        return std::nullopt;
    }
    return dir + "/ui.sock";
}

bool CheckUiSocketOwner(const std::string& path, std::string& error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        error = errno == ENOENT ? "no UI socket at " + path + " (is lumivex running?)"
                                : "cannot reach the UI socket " + path + ": " + errnoText(errno);
        return false;
    }
    if (!S_ISSOCK(st.st_mode)) {
        error = "refusing the UI socket " + path + ": it is not a socket";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        error = "refusing the UI socket " + path + ": it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat d {};
    if (::stat(dir.c_str(), &d) != 0) {
        error = "cannot reach the UI socket's directory " + dir + ": " + errnoText(errno);
        return false;
    }
    if ((d.st_uid != ::getuid() && d.st_uid != 0) || (d.st_mode & 022) != 0) {
        error = "refusing the UI socket " + path + ": its directory " + dir + " may be written by other users";
        return false;
    }
    return true;
}

bool UiSocketListener::TakeLock(std::string& error) {
    const std::string lockPath = LockPath(path_);
    // An agent that exits removes its lock file while it still holds the
    // lock; a lock taken on a file that is no longer at the path is retried.
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = "cannot open the lock file " + lockPath + ": " + errnoText(errno);
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            error = e == EWOULDBLOCK ? "another Lumivex agent is serving the UI socket " + path_
                                     : "cannot lock " + lockPath + ": " + errnoText(e);
            return false;
        }
        struct stat held {}, current {};
        if (::fstat(fd, &held) == 0 && ::stat(lockPath.c_str(), &current) == 0 && held.st_dev == current.st_dev &&
            held.st_ino == current.st_ino) {
            if (held.st_uid != ::getuid()) {
                ::close(fd);
                error = lockPath + " belongs to another user";
                return false;
            }
            lockFd_ = fd;
            return true;
        }
        ::close(fd);
    }
    error = "cannot lock " + lockPath + ": it keeps being replaced";
    return false;
}

void UiSocketListener::ReleaseLock() {
    if (lockFd_ < 0) return;
    // Removed while held, so a starting agent that opened the old file
    // notices and opens the new one.
    if (!filesRemoved_) ::unlink(LockPath(path_).c_str());
    ::close(lockFd_);
    lockFd_ = -1;
}

bool UiSocketListener::Open(const std::string& path, std::string& error) {
    Close();
    path_ = path;
    filesRemoved_ = false;
    sockaddr_un addr;
    if (!fillAddress(path_, addr)) {
        error = "UI socket path is empty or too long: " + path_;
        return false;
    }
    if (!TakeLock(error)) return false;

    // What is at the path now is left over from an agent that is gone, or
    // belongs to someone else.
    struct stat st {};
    if (::lstat(path_.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
            error = path_ + " exists and is not a socket of this user; it is left alone";
            ReleaseLock();
            return false;
        }
        if (someoneListens(path_)) {
            error = "another Lumivex agent is serving the UI socket " + path_;
            ReleaseLock();
            return false;
        }
        ::unlink(path_.c_str());
    }

    // The socket is bound and listening under a name of its own and then
    // renamed into place, so that a UI that finds the file can connect.
    // The lock keeps other agents from that name; without room for it in a
    // socket address, the socket is bound in place.
    std::string staging = path_ + ".new";
    sockaddr_un stagingAddr;
    if (!fillAddress(staging, stagingAddr)) {
        staging = path_;
        stagingAddr = addr;
    } else if (::lstat(staging.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
            error = staging + " exists and is not a socket of this user; it is left alone";
            ReleaseLock();
            return false;
        }
        ::unlink(staging.c_str());  // left by an agent that died while starting
    }

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot create the UI socket: " + errnoText(errno);
        ReleaseLock();
        return false;
    }
    // The file is created with the umask's permissions: none for others.
    const mode_t previous = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&stagingAddr), sizeof(stagingAddr));
    const int bindError = errno;
    ::umask(previous);
    if (bound != 0) {
        error = "cannot bind the UI socket " + path_ + ": " + errnoText(bindError);
        ::close(fd);
        ReleaseLock();
        return false;
    }
    // A burst of connections waits to be accepted, and the ones beyond the
    // served UI are refused with a reason, not by the kernel.
    if (::chmod(staging.c_str(), 0600) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
        (staging != path_ && ::rename(staging.c_str(), path_.c_str()) != 0)) {
        error = "cannot listen on the UI socket " + path_ + ": " + errnoText(errno);
        ::close(fd);
        ::unlink(staging.c_str());
        ReleaseLock();
        return false;
    }
    fd_ = fd;
    return true;
}

void UiSocketListener::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        if (!filesRemoved_) ::unlink(path_.c_str());
    }
    ReleaseLock();
}

void UiSocketListener::RemoveFiles() {
    if (fd_ < 0 || filesRemoved_) return;
    ::unlink(path_.c_str());
    if (lockFd_ >= 0) ::unlink(LockPath(path_).c_str());
    filesRemoved_ = true;
}

}  // namespace flutter
