#pragma once
// Small helpers shared by the settings tests: files in a private folder, and a whole-record
// comparison that names the field that differs.
#include "settings/ScanSettings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// Readable failure messages: gtest shows a QString as its text, not as bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

/// The names in `folder` other than `keep`: leftovers such as temporary files.
inline QStringList otherEntries(const QString& folder, const QString& keep) {
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                               QDir::NoDotAndDotDot);
    names.removeAll(keep);
    return names;
}

inline void expectSameRecord(const ScanSettings& actual, const ScanSettings& expected) {
    EXPECT_EQ(actual.ViewProgress, expected.ViewProgress);
    EXPECT_EQ(actual.ResultFormat, expected.ResultFormat);
    EXPECT_EQ(actual.PixelType, expected.PixelType);
    EXPECT_EQ(actual.Risoluzione, expected.Risoluzione);
    EXPECT_EQ(actual.BitColoreGreyLevel, expected.BitColoreGreyLevel);
    EXPECT_EQ(actual.BWThreshold, expected.BWThreshold);
    EXPECT_EQ(actual.JpegQualityTiffCompression, expected.JpegQualityTiffCompression);
    EXPECT_EQ(actual.Luminosita, expected.Luminosita);
    EXPECT_EQ(actual.Contrasto, expected.Contrasto);
    EXPECT_EQ(actual.Pagina, expected.Pagina);
    EXPECT_EQ(actual.area, expected.area);
    EXPECT_EQ(actual.settingsAvailable, expected.settingsAvailable);
}

/// Restores an environment variable when the test ends.
class EnvironmentGuard {
public:
    explicit EnvironmentGuard(const char* name)
        : m_name(name), m_set(qEnvironmentVariableIsSet(name)), m_value(qgetenv(name)) {}
    ~EnvironmentGuard() {
        if (m_set)
            qputenv(m_name, m_value);
        else
            qunsetenv(m_name);
    }
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

private:
    const char* m_name;
    bool m_set;
    QByteArray m_value;
};
