#pragma once
#include <QString>
#include <cstdint>

/// Appends `text` and CR LF to the file `fileName`, creating it when missing; the file is
/// opened and closed for this one line, so what is on disk is complete after every call.
/// Returns 0 on success, otherwise the error number (errno) of the last failing step.
int32_t AppendLine(const QString& text, const QString& fileName);
