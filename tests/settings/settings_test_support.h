#pragma once
// Small helpers shared by the settings tests: files in a private folder, and a whole-record
// comparison that names the field that differs.
#include "settings/ScanSettings.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <tuple>

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
    const auto fields = [](const ScanSettings& s) {
        return std::make_tuple(s.ViewProgress, s.ResultFormat, s.PixelType, s.Risoluzione,
                               s.BitColoreGreyLevel, s.BWThreshold, s.JpegQualityTiffCompression,
                               s.Luminosita, s.Contrasto, s.Pagina, s.area, s.settingsAvailable,
                               s.PDFA());
    };
    EXPECT_EQ(fields(actual), fields(expected));
}

/// A test with a private folder; path() names a file in it.
class FolderTest : public ::testing::Test {
protected:
    QString path(const char* name = "scanner.ini") const {
        return m_dir.filePath(QString::fromLatin1(name));
    }
    QTemporaryDir m_dir;
};

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
