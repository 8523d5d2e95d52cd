#include "signals.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "quillon/engine/output_tables.h"
#endif

namespace quillon::cli {

#ifndef _WIN32
// Ctrl-C, SIGTERM and SIGHUP end the process at once, as they always did, but never while a
// table is being replaced: every thread blocks them and one watcher thread waits for them. A
// signal ignored at start (nohup, a background job) stays ignored.
void watchTerminatingSignals() {
    // Past a file-size limit a write then fails and is reported, instead of killing the process.
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t watched;
    sigemptyset(&watched);
    bool any = false;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        sigaddset(&watched, signal);
        any = true;
    }
    if (!any) return;
    // Threads inherit the mask, so this comes before the run starts any.
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
    std::thread([watched] {
        int signal = 0;
        if (sigwait(&watched, &signal) != 0) return;
        // A table being written gets renamed or removed first; one stuck on a dead disk is not waited for.
        [[maybe_unused]] const bool held = fileReplacementLock().try_lock_for(std::chrono::seconds(5));
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(signal);  // the default action: the process ends with this signal as its status
    }).detach();
}
#else
void watchTerminatingSignals() {}
#endif

}  // namespace quillon::cli
