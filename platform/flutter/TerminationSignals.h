#pragma once
// The requests to end the process that come as signals (SIGINT, SIGTERM,
// SIGHUP) are handed to one watcher thread instead of ending the process
// wherever it stands, so that it can end in order: the handler runs on the
// watcher thread and typically closes the main window.
//
// The signal handler only writes the signal number to a pipe. The signal
// mask is left alone, so programs the agent starts get the usual default
// handling of these signals. A signal the process was started to ignore
// (nohup, a background job) stays ignored.

#include <functional>
#include <thread>

namespace win32 {

class TerminationSignals {
public:
    // Installs the handlers and starts the watcher; one instance at a time.
    // `onSignal` gets the signal number and how many termination signals
    // have arrived so far (1 for the first).
    explicit TerminationSignals(std::function<void(int signal, int count)> onSignal);
    // Restores the previous handlers, then stops and joins the watcher.
    ~TerminationSignals();
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool watching() const { return thread_.joinable(); }

private:
    void watch();

    std::function<void(int, int)> onSignal_;
    std::thread thread_;
};

}  // namespace win32
