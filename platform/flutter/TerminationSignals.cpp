#include "platform/flutter/TerminationSignals.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace win32 {
namespace {

constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler; the read end belongs to the watcher.
int g_signalPipe[2] = {-1, -1};
struct sigaction g_previous[kSignals.size()];

void onTerminationSignal(int signal) {
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    (void)!::write(g_signalPipe[1], &number, 1);
    errno = saved;
}

// The byte that tells the watcher to end.
constexpr unsigned char kStop = 0;

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int, int)> onSignal) : onSignal_(std::move(onSignal)) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "termination signals are not watched: %s\n", std::strerror(errno));
        g_signalPipe[0] = g_signalPipe[1] = -1;
        return;
    }
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &action, &g_previous[i]);
        // A signal the process was started to ignore (nohup, a background
        // job) stays ignored.
        if (g_previous[i].sa_handler == SIG_IGN) ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    thread_ = std::thread([this] { watch(); });
}

TerminationSignals::~TerminationSignals() {
    if (g_signalPipe[1] < 0) return;
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &g_previous[i], nullptr);
    (void)!::write(g_signalPipe[1], &kStop, 1);
    if (thread_.joinable()) thread_.join();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

void TerminationSignals::watch() {
    int count = 0;
    for (;;) {
        pollfd fd{g_signalPipe[0], POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        unsigned char number = 0;
        const ssize_t n = ::read(g_signalPipe[0], &number, 1);
        if (n != 1) continue;
        if (number == kStop) return;
        if (onSignal_) onSignal_(number, ++count);
    }
}

}  // namespace win32
