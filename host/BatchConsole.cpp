#include "host/BatchConsole.h"
#include "common/ShownText.h"

namespace {

/// Back to the start of the line and erase it (ECMA-48 CR, EL): the progress line is
/// rewritten in place instead of scrolling.
constexpr char eraseLine[] = "\r\033[K";

} // namespace

BatchConsole::BatchConsole(FILE* out, FILE* err, bool errorIsTerminal)
    : m_out(out), m_err(err), m_errorIsTerminal(errorIsTerminal) {}

BatchConsole::~BatchConsole() {
    clearProgress();
}

void BatchConsole::print(FILE* stream, QString text) {
    clearProgress();
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

void BatchConsole::output(const QString& text) {
    print(m_out, text);
}

void BatchConsole::error(const QString& text) {
    // Messages carry texts of the settings file and of devices: a NUL would end the line
    // early and a control character could forge or erase lines, so only line breaks stay.
    print(m_err, QStringLiteral("scansione-batch: ") + shownLines(text));
}

void BatchConsole::note(const QString& text) {
    if (!m_quiet)
        error(text);
}

void BatchConsole::progress(const QString& text) {
    if (!m_errorIsTerminal || m_quiet)
        return;
    std::fputs(eraseLine, m_err);
    std::fputs(text.toLocal8Bit().constData(), m_err);
    std::fflush(m_err);
    m_progressShown = true;
}

void BatchConsole::clearProgress() {
    if (!m_progressShown)
        return;
    std::fputs(eraseLine, m_err);
    std::fflush(m_err);
    m_progressShown = false;
}
