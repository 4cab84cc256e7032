#pragma once
#include <QString>
#include <QStringView>

/// `text` as a message or a log line shows it: every control character (NUL, C0, DEL and
/// C1) written as \x followed by its two hex digits, so that a NUL cannot end the message
/// and a line feed or an escape sequence cannot forge another line or move the cursor.
/// Everything else, backslashes included, is kept as it is.
QString shownText(QStringView text);

/// shownText of each line of a text of several lines: line breaks (CR LF or LF) are kept,
/// every other control character is escaped, a lone CR included.
QString shownLines(QStringView text);
