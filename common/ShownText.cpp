#include "common/ShownText.h"

QString shownText(QStringView text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code < 0xA0)) {
            constexpr char digits[] = "0123456789abcdef";
            shown += QLatin1String("\\x");
            shown += QLatin1Char(digits[code >> 4]);
            shown += QLatin1Char(digits[code & 0xF]);
        } else {
            shown += c;
        }
    }
    return shown;
}
