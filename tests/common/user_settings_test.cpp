// The per-user settings store: values survive from one session (one object, one process)
// to the next because every write reaches the disk at once.
#include "common/UserSettings.h"
#include "support/Promptly.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <functional>

#include <sys/stat.h>

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

// What QSettings would block on (a FIFO) or take whole into memory (a huge file) is neither
// read nor written: reads give their defaults at once, and the thing at the path stays as it
// was. A link to a regular file is an ordinary store.
TEST_F(UserSettingsTest, OnlyARegularFileOfSensibleSizeIsUsed) {
    const QByteArray path = QFile::encodeName(storeFile());
    const QByteArray normal = QFile::encodeName(s_config->filePath(QStringLiteral("real.conf")));
    const QByteArray fifo = QFile::encodeName(s_config->filePath(QStringLiteral("other.fifo")));
    struct Case {
        const char* what;
        std::function<void()> make;
        bool used;
    };
    const Case cases[] = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(path.constData(), 0600), 0); }, false},
        // A link to something that is not a regular file; it points at a FIFO of our own, so
        // that a regression (QSettings saves through links) can never replace a system device.
        {"link to a fifo",
         [&] {
             QFile::remove(QFile::decodeName(fifo));
             ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
             ASSERT_EQ(::symlink(fifo.constData(), path.constData()), 0);
         },
         false},
        {"directory", [&] { ASSERT_EQ(::mkdir(path.constData(), 0700), 0); }, false},
        {"huge file",
         [&] {
             QFile f(storeFile());
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             f.write("[Scansione]\nDIR=/grande\n");
             ASSERT_TRUE(f.resize(qint64(3) << 30)); // sparse: takes no disk
         },
         false},
        {"link to a file",
         [&] {
             QFile f(QFile::decodeName(normal));
             ASSERT_TRUE(f.open(QIODevice::WriteOnly));
             f.write("[Scansione]\nDIR=/collegato\n");
             f.close();
             ASSERT_EQ(::symlink(normal.constData(), path.constData()), 0);
         },
         true},
    };
    for (const Case& c : cases) {
        QFile::remove(storeFile());
        ::rmdir(path.constData());
        c.make();
        struct stat before {};
        ASSERT_EQ(::lstat(path.constData(), &before), 0) << c.what;

        QString dir;
        ASSERT_TRUE(finishesWithin(
            10,
            [&] {
                UserSettings store;
                dir = store.read(QStringLiteral("DIR"), QStringLiteral("nessuna"));
                store.write(QStringLiteral("AutoADF"), QStringLiteral("1"));
                store.remove(QStringLiteral("DIR"));
            },
            path))
            << c.what << ": blocked";
        if (c.used) {
            EXPECT_EQ(dir, QStringLiteral("/collegato")) << c.what;
            EXPECT_EQ(UserSettings().read(QStringLiteral("AutoADF"), {}), QStringLiteral("1"));
            continue;
        }
        EXPECT_EQ(dir, QStringLiteral("nessuna")) << c.what;
        struct stat after {};
        ASSERT_EQ(::lstat(path.constData(), &after), 0) << c.what;
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what << " was replaced";
        EXPECT_EQ(after.st_size, before.st_size) << c.what;
    }
    QFile::remove(storeFile());
}

} // namespace
