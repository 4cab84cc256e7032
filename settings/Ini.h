#pragma once
#include <QString>
#include <QStringList>

// The module INI: the three private-profile operations the settings record uses, on our own
// reader and writer of INI files (case-insensitive section and key lookup, first match wins,
// blanks around names and values ignored, one pair of surrounding quotes removed from a
// value, a key replaced in place when written, a missing section or file created; read as
// UTF-8 when valid, otherwise Windows-1252; written as UTF-8).
namespace INI {

/// The key names of `section` in file order; empty when the section has none or the file is
/// missing or unreadable. Read through a 4096-character buffer as the platform does.
QStringList ReadIniKeys(const QString& fileName, const QString& section);

/// The value of `key` in `section`, cut to 255 characters; empty when the key is absent.
QString ReadIniValue(const QString& fileName, const QString& section, const QString& key);

/// Writes `key`=`value` into `section`, keeping every other line of the file. Failures are
/// not reported.
void WriteIniValue(const QString& fileName, const QString& section, const QString& key,
                   const QString& value);

} // namespace INI
