// simdevice: the simulated Korvelantis device on a pseudo-terminal (see
// --help). One thread: a poll loop that reads the master at the line's pace,
// feeds DeviceProtocol and writes its replies at the line's pace. The device
// keeps the slave open itself, so the pseudo-terminal lives while programs
// open and close the port. SIGTERM or SIGINT ends the loop cleanly.
#include "device_protocol.h"
#include "options.h"
#include "pty_line.h"

#include <csignal>
#include <cstdio>

namespace {

volatile std::sig_atomic_t gStop = 0;

void onStopSignal(int) { gStop = 1; }

// Blocks the stop signals outside ppoll, so that one cannot slip in between a
// check of gStop and the wait. Returns the mask to wait with.
sigset_t installStopSignals()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    sigdelset(&previous, SIGTERM);
    sigdelset(&previous, SIGINT);
    return previous;
}

}  // namespace

int main(int argc, char** argv)
{
    int exitCode = 0;
    auto options = simdevice::parseOptions(argc, argv, exitCode);
    if (!options) return exitCode;
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t waitMask = installStopSignals();

    simdevice::EventLog log(options->logFile);
    simdevice::PtyLine line(*options, log);
    if (!line.open()) return 1;
    if (!line.publishPath(options->pathFile)) return 1;

    simdevice::DeviceProtocol device(options->device);
    line.run(device, waitMask, gStop);
    log.write("stop", "");
    return 0;
}
