#pragma once
// The end of the work the UI channels started, once the main window (and
// with it the UI socket) has gone and before anything those workers use is
// destroyed at exit.

namespace trevask {

// In this order: waits for the registration and measurement workers (a
// measurement runs to its end and sends its report; the tasks' own
// time-outs bound it), stops the UI's system sampler and waits for the
// agent-IP workers, closes the crash reporter (bounded to about 2 s) and
// joins a crash-reporter thread that was still sending.
void finishChannelWork();

// The first step of an orderly end while the UI is still connected: starts
// no more registrations or measurements (such calls are answered "The agent
// is ending") and waits for the ones under way, which answer their calls.
void endRunningWork();

}  // namespace trevask
