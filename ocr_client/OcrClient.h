#pragma once
#include "component_base/PageServices.h"
#include <QImage>
#include <QString>
#include <memory>
#include <sys/types.h>

class WorkerProcess;

/// How long OcrClient waits on the OCR worker, in milliseconds. Past a bound the worker is
/// killed (its whole process group), the page gets an error, and the next call starts a fresh
/// worker.
struct OcrBounds {
    // The worker runs at nice 10: on a machine busy with other work it gets a few percent of
    // a core, and a page of one second's work takes tens of seconds on the clock. The bounds
    // are there for a worker that hangs, so they leave room for one that is only starved (at
    // "Conferma" the user can stop waiting at any time and write the rest without text).
    int startMs = 30000; ///< from starting the program to its greeting
    int pageMs = 180000; ///< reading an A4 page at 300 dpi; a larger page gets more in proportion
    int correctMs = 120000; ///< examining a page's skew and orientation, the same way scaled
};

/// The component's end of the OCR worker program (scansione-ocr-worker): reads a page's words
/// and puts a page straight, each through the worker, so that tesseract never runs in the
/// window's or a host's process.
///
/// The worker is started at the first call and kept for the next ones (it loads the language
/// data once per session): one thread (OMP_THREAD_LIMIT=1 in its environment at exec,
/// whatever ours says), niceness 10 above ours, the socket as its only descriptor. A page
/// travels as a sealed memory file of its pixels (1-bit with a set bit black, 8-bit grey or
/// 24-bit colour; other QImage formats are converted to the nearest), never through the
/// socket. Every page is bounded: a crash, a hang past the bound or garbage from the worker
/// kills it and gives that page an error in Italian, never an exception; the next call starts a
/// fresh worker.
///
/// Threading: the calls block for as long as the page takes (seconds): call them from a thread
/// of the component's own, never the window's. Not thread-safe: one OcrClient per thread.
class OcrClient final : public PageTextReader, public PageCorrector {
public:
    /// `program`: the worker to start; empty finds "scansione-ocr-worker" as defaultProgram().
    explicit OcrClient(const QString& program = QString(), const OcrBounds& bounds = OcrBounds());
    /// Lets the worker go: it sees the end of its socket and ends (it is killed should it not).
    ~OcrClient() override;
    OcrClient(const OcrClient&) = delete;
    OcrClient& operator=(const OcrClient&) = delete;

    OcrResult read(const QImage& page, int dpi, const QString& languages) override;
    PageCorrection correct(const QImage& page, int dpi, bool straighten,
                           bool turnUpsideDown) override;

    /// The running worker's process id; 0 when none runs.
    pid_t workerPid() const;
    /// The worker program: $SCANSIONE_OCR_WORKER when set; otherwise the one built beside
    /// code running from its build tree, else the installed one (worker_process/WorkerProgram.h).
    static QString defaultProgram();

private:
    /// The running worker, started when there is none; null with `error` saying, of `what`
    /// ("il riconoscimento del testo"), why.
    WorkerProcess* worker(const QString& what, QString& error);
    /// A page's bound: `baseMs` for an A4 page at 300 dpi, more in proportion for a larger one.
    static int boundFor(int baseMs, const QImage& page);

    QString m_program;
    OcrBounds m_bounds;
    std::unique_ptr<WorkerProcess> m_worker;
};

/// Page services that make OcrClient instances with the default program and bounds, one for
/// each component thread that asks.
PageServices ocrPageServices();
