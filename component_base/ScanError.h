#pragma once
#include "common/Export.h"
#include <QString>
#include <cstdint>
#include <stdexcept>

/// The one exception type of the acquisition component: a call that fails outright (as
/// opposed to one that reports through LastErrorCode) throws it.
class SCANSIONE_EXPORT ScanError : public std::runtime_error {
public:
    explicit ScanError(const QString& text, int32_t code = -1)
        : std::runtime_error(text.toStdString()), m_code(code), m_text(text) {}
    int32_t code() const { return m_code; }
    const QString& text() const { return m_text; }

private:
    int32_t m_code;
    QString m_text;
};
