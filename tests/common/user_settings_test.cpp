// The per-user settings store: values survive from one session (one object, one process)
// to the next because every write reaches the disk at once.
#include "common/UserSettings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

namespace {

class UserSettingsTest : public ::testing::Test {
protected:
    // QSettings fixes its folders at first use, so the private config folder is set once for
    // the whole program, before any store exists.
    static void SetUpTestSuite() {
        s_config = new QTemporaryDir;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(s_config->path()));
    }
    static void TearDownTestSuite() {
        delete s_config;
        s_config = nullptr;
    }
    static QString storeFile() {
        return s_config->path() + QStringLiteral("/Componenti/Scansione.conf");
    }
    static QByteArray onDisk() {
        QFile file(storeFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static QTemporaryDir* s_config;
};
QTemporaryDir* UserSettingsTest::s_config = nullptr;

TEST_F(UserSettingsTest, MissingKeyGivesTheDefault) {
    UserSettings settings;
    EXPECT_EQ(settings.read(QStringLiteral("DefaultSource"), QStringLiteral("-1")),
              QStringLiteral("-1"));
    EXPECT_EQ(settings.read(QStringLiteral("DIR"), QString()), QString());
}

TEST_F(UserSettingsTest, WriteReachesTheDiskAndTheNextSession) {
    UserSettings().write(QStringLiteral("DefaultSource"), QStringLiteral("1"));
    // On disk at once, in the section of the product, before any object is destroyed or
    // any event loop has run.
    EXPECT_TRUE(onDisk().contains("[Scansione]"));
    EXPECT_TRUE(onDisk().contains("DefaultSource=1"));
    EXPECT_EQ(UserSettings().read(QStringLiteral("DefaultSource"), QStringLiteral("-1")),
              QStringLiteral("1"));

    // Another process sees it, and what it writes is seen here.
    QProcess sed;
    sed.start(
        QStringLiteral("sed"),
        {QStringLiteral("-i"), QStringLiteral("s/DefaultSource=1/DefaultSource=0/"), storeFile()});
    ASSERT_TRUE(sed.waitForFinished(10000));
    ASSERT_EQ(sed.exitCode(), 0);
    EXPECT_EQ(UserSettings().read(QStringLiteral("DefaultSource"), QStringLiteral("-1")),
              QStringLiteral("0"));
}

TEST_F(UserSettingsTest, RemoveDeletesAndToleratesAbsentKeys) {
    UserSettings settings;
    settings.write(QStringLiteral("ScanFronteRetro"), QStringLiteral("1"));
    settings.write(QStringLiteral("AutoADF"), QStringLiteral("0"));
    settings.remove(QStringLiteral("ScanFronteRetro"));
    settings.remove(QStringLiteral("NeverStored"));
    EXPECT_FALSE(onDisk().contains("ScanFronteRetro"));
    EXPECT_EQ(settings.read(QStringLiteral("ScanFronteRetro"), QStringLiteral("none")),
              QStringLiteral("none"));
    EXPECT_EQ(settings.read(QStringLiteral("AutoADF"), QStringLiteral("none")),
              QStringLiteral("0"));
}

TEST_F(UserSettingsTest, TextValuesRoundTrip) {
    const QString path = QString::fromUtf8("/home/utente/Documenti/\u00e0 caso, \"prova\"=1.pdf");
    UserSettings().write(QStringLiteral("DIR"), path);
    EXPECT_EQ(UserSettings().read(QStringLiteral("DIR"), QString()), path);
}

} // namespace
