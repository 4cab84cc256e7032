#pragma once
#include <QString>

/// The reason of a failed system call as the user reads it, in Italian: what `error` (an
/// errno value) means ("spazio su disco esaurito" for ENOSPC). The C library's own texts
/// follow the locale, which on most systems is English; an errno without a text of its own
/// here gives "errore di sistema" and its number.
QString systemErrorText(int error);

class QFileDevice;

/// Why the last operation on `file` failed, in Italian (Qt's own texts are English): what its
/// error() says, or "file più corto del previsto" when it reports none (a short read).
QString fileErrorText(const QFileDevice& file);
