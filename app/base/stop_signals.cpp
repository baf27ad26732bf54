#include "base/stop_signals.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

namespace {

volatile sig_atomic_t g_stop_signal = 0;
bool g_installed = false;

// The temporary output, kept where the handler can read it without
// allocating: two buffers, the active one chosen by an index flipped after
// the other was written.
constexpr size_t kPathRoom = 4096;
char g_removal[2][kPathRoom];
volatile sig_atomic_t g_removal_index = -1;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnStopSignal(int signal) {
    if (g_stop_signal == 0) {
        g_stop_signal = signal;
        return;
    }
    // A second request: stop now. Only async-signal-safe calls here.
    int index = g_removal_index;
    if (index >= 0) unlink(g_removal[index]);
    _exit(128 + signal);
}

}  // namespace

void InstallStopSignals() {
    if (g_installed) return;
    g_installed = true;
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);

    sigset_t unblock;
    sigemptyset(&unblock);
    for (int s : kStopSignals) {
        struct sigaction previous;
        if (sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (int other : kStopSignals)
            sigaddset(&action.sa_mask, other);
        action.sa_flags = SA_RESTART;
        sigaction(s, &action, nullptr);
        sigaddset(&unblock, s);
    }
    pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
}

int StopSignal() {
    return g_stop_signal;
}

void RequestStop(int signal) {
    g_stop_signal = signal;
}

void SetEmergencyRemoval(const std::string& path) {
    if (path.empty() || path.size() >= kPathRoom) {
        g_removal_index = -1;
        return;
    }
    int next = g_removal_index == 0 ? 1 : 0;
    std::memcpy(g_removal[next], path.c_str(), path.size() + 1);
    g_removal_index = next;
}

std::string SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(signal);
    }
}
