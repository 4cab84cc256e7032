// scansione-sane-worker: every call into libsane runs here, in a process of its own, so that a
// backend that crashes, hangs or leaks takes neither the scan window nor a host application
// with it. The Scansione library starts this program with a socket as descriptor 3 and speaks
// the protocol of worker_process/WorkerProtocol.h over it; the program ends when the library
// closes its end. It is not meant to be run by hand.
#include "sane_worker/WorkerServer.h"
#include "worker_process/WorkerProgram.h"

// SANE's backends leave memory behind at sane_exit and unload their code with it, so a leak
// report of this process names third-party code, often as an unknown module. Leak checking is
// off here, in this process only: the component's process, where our own code runs, is still
// checked. (Only sanitizer builds look for this function; elsewhere it is never called.)
extern "C" int __lsan_is_turned_off() {
    return 1;
}

int main() {
    if (!workerprogram::readyToServe("scansione-sane-worker: questo programma lo avvia la libreria "
                                     "di Scansione (gli serve il suo socket come descrittore 3)\n"))
        return 2;
    WorkerServer server(workerprogram::kSocket);
    return server.run();
}
