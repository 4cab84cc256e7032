#pragma once
#include <QString>
#include <cstdio>

/// The two streams of scansione-batch. Standard output carries only what a script reads (the
/// produced files, the scanner list, the capability report); standard error carries errors,
/// warnings and notes, each line after "scansione-batch: ", and, on a terminal only, one
/// progress line that is overwritten in place. Every other line first clears the progress
/// line, so that nothing is written over it.
///
/// Threading: GUI thread only.
class BatchConsole {
public:
    /// `errorIsTerminal`: whether `err` is a terminal (only then is progress drawn).
    BatchConsole(FILE* out, FILE* err, bool errorIsTerminal);
    ~BatchConsole();
    BatchConsole(const BatchConsole&) = delete;
    BatchConsole& operator=(const BatchConsole&) = delete;

    /// With quiet, notes and progress are left out; output, errors and warnings stay.
    void setQuiet(bool quiet) { m_quiet = quiet; }
    bool quiet() const { return m_quiet; }

    /// `text` on standard output, CR LF turned into LF, ending with a line end.
    void output(const QString& text);
    /// An error or warning on standard error, after the program's name; also when quiet.
    /// Control characters other than line breaks are shown escaped (\x00).
    void error(const QString& text);
    /// A note on standard error (what was used, how a dialog was answered); not when quiet.
    void note(const QString& text);
    /// Shows `text` as the progress line, replacing the one shown (a terminal only, not when
    /// quiet); `text` should fit on one line.
    void progress(const QString& text);
    /// Removes the progress line, when one is shown.
    void clearProgress();

private:
    void print(FILE* stream, QString text);

    FILE* m_out;
    FILE* m_err;
    bool m_errorIsTerminal;
    bool m_quiet = false;
    bool m_progressShown = false;
};
