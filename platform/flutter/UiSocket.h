#pragma once
// The agent's UI socket is its front door: whoever connects drives the
// agent. It is created mode 0600, by default inside a directory only the
// user can enter, and it is never taken over from another live agent: an
// exclusive lock on a file beside the socket says which agent owns the
// path, and a socket file left by an agent that died is replaced.

#include <optional>
#include <string>

namespace flutter {

// The socket path used when none is given: "lumivex-ui.sock" in the user's
// runtime directory ($XDG_RUNTIME_DIR, when it is an absolute path to a
// directory of this user that nobody else may enter), else "ui.sock" in the
// private directory /tmp/lumivex-<uid> (created mode 0700; refused when it
// exists as anything but such a directory of this user). No value, with the
// reason in `error`, when neither is usable.
std::optional<std::string> DefaultUiSocketPath(std::string& error);

// The check a UI makes before it connects: the socket must be a socket of
// this user in a directory that belongs to this user (or root) and that no
// other user may write, so nobody else can have put it there. False, with
// a one-line reason in `error`, otherwise (also when nothing is there).
bool CheckUiSocketOwner(const std::string& path, std::string& error);

class UiSocketListener {
public:
    UiSocketListener() = default;
    ~UiSocketListener() { Close(); }
    UiSocketListener(const UiSocketListener&) = delete;
    UiSocketListener& operator=(const UiSocketListener&) = delete;

    // Takes the path's lock, replaces a stale socket file, binds mode 0600
    // and listens. False, with the reason in `error`, when another agent
    // holds the path, when something other than a socket of this user is
    // in the way, or when the socket cannot be set up.
    bool Open(const std::string& path, std::string& error);
    // Closes the socket, removes the socket file and the lock file.
    void Close();
    // Removes the socket file and the lock file now and keeps the socket
    // and the lock open (Close then removes nothing more).
    void RemoveFiles();

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // The lock file beside the socket.
    static std::string LockPath(const std::string& socketPath) { return socketPath + ".lock"; }

private:
    bool TakeLock(std::string& error);
    void ReleaseLock();

    std::string path_;
    int fd_ = -1;
    int lockFd_ = -1;
    bool filesRemoved_ = false;
};

}  // namespace flutter
