#include "settings/Ini.h"

#include "common/ShownText.h"
#include "settings/IniDocument.h"

#include <QDebug>

namespace INI {

QStringList ReadIniKeys(const QString& fileName, const QString& section) {
    return keysThroughBuffer(IniDocument::load(fileName).keys(section));
}

QString ReadIniValue(const QString& fileName, const QString& section, const QString& key) {
    const std::optional<QString> value = IniDocument::load(fileName).value(section, key);
    return value ? valueThroughBuffer(*value) : QString();
}

void WriteIniValue(const QString& fileName, const QString& section, const QString& key,
                   const QString& value) {
    if (!IniDocument::writeValues(fileName, section, {{key, value}}))
        qWarning("Scansione: chiave %s non scritta in %s", qUtf8Printable(shownText(key)),
                 qUtf8Printable(shownText(fileName)));
}

} // namespace INI
