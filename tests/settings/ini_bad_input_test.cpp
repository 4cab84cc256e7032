// Whatever sits at the settings path, loading never hangs, never crashes and uses what it
// can; writing never loses what was there.
#include "settings/Ini.h"
#include "settings/IniDocument.h"
#include "settings/ScanSettings.h"

#include "settings_test_support.h"
#include "support/TestTools.h"

#include <QElapsedTimer>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class BadInputTest : public FolderTest {
protected:
    // Loads `bytes` as a settings file and returns the record.
    ScanSettings loadBytes(const QByteArray& bytes) {
        writeBytes(path(), bytes);
        ScanSettings s(path());
        s.ReadIni();
        return s;
    }
};

TEST_F(BadInputTest, NulBytesEverywhere) {
    QByteArray bytes("\0\0\0[MA\0IN]\n\0=\0\n[MAIN]\n\0\0\nFormato=TIFF\nPagina\0=A3\n", 44);
    const ScanSettings s = loadBytes(bytes);
    EXPECT_EQ(s.ResultFormat, QStringLiteral("TIFF"));
    EXPECT_TRUE(s.Pagina.isEmpty());
}

TEST_F(BadInputTest, LinesOfHundredKilobytes) {
    const QByteArray huge(100 * 1024, 'x');
    const ScanSettings s = loadBytes("[MAIN]\n" + huge + "=1\nArea=" + huge + "\n[" + huge +
                                     "]\nFormato=JPEG\n[MAIN]\n" + huge + "\n");
    EXPECT_EQ(s.area, QString(255, u'x'));
    EXPECT_EQ(s.ResultFormat, QStringLiteral("PDF")) << "Formato belongs to another section";
    // A name too long for the key buffer is skipped; the keys after it are still listed.
    EXPECT_EQ(INI::ReadIniKeys(path(), QStringLiteral("MAIN")),
              QStringList{QStringLiteral("Area")});
}

TEST_F(BadInputTest, BinaryContentAroundASection) {
    std::mt19937 random(12345);
    QByteArray noise(64 * 1024, '\0');
    for (char& byte : noise)
        byte = static_cast<char>(random() & 0xFF);
    const ScanSettings s =
        loadBytes(noise + "\n[MAIN]\nFormato=TIFF\nRisoluzione=300\n" + noise.left(1000));
    EXPECT_EQ(s.ResultFormat, QStringLiteral("TIFF"));
    EXPECT_EQ(s.Risoluzione, 300);
}

TEST_F(BadInputTest, FileBeyondTheReadBoundIsReadInPartAndNeverRewritten) {
    QByteArray bytes = "[MAIN]\nFormato=TIFF\n";
    const QByteArray filler = "; " + QByteArray(1000, '-') + "\n";
    while (bytes.size() < IniDocument::maxFileBytes - 10)
        bytes += filler;
    bytes += "Pagina=A3\n"; // crosses the bound
    bytes += "Area=1,2\n";
    const ScanSettings s = loadBytes(bytes);
    EXPECT_EQ(s.ResultFormat, QStringLiteral("TIFF"));
    EXPECT_TRUE(s.Pagina.isEmpty()) << "a line cut by the bound is not used";
    EXPECT_TRUE(s.area.isEmpty());

    ScanSettings(path()).WriteIni();
    INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("Formato"),
                       QStringLiteral("PDF"));
    EXPECT_EQ(readBytes(path()), bytes);
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());
}

TEST_F(BadInputTest, FifoAtThePathReturnsPromptly) {
    const QByteArray fifo = QFile::encodeName(path());
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    auto work = std::async(std::launch::async, [this] {
        ScanSettings s(path());
        s.ReadIni();
        const QStringList keys = INI::ReadIniKeys(path(), QStringLiteral("MAIN"));
        const QString value =
            INI::ReadIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("a"));
        s.WriteIni();
        return s.settingsAvailable == 0 && s.ResultFormat == QStringLiteral("PDF") &&
               keys.isEmpty() && value.isEmpty();
    });
    if (work.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Free the blocked reader by opening the other end, then report the hang.
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        work.wait();
        FAIL() << "a FIFO at the settings path blocked the loader";
    }
    EXPECT_TRUE(work.get());
    struct stat info {};
    ASSERT_EQ(::lstat(fifo.constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the FIFO must not be replaced by a file";
}

TEST_F(BadInputTest, DirectoryAtThePath) {
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("scanner.ini")));
    ScanSettings s(path());
    s.ReadIni();
    s.WriteIni();
    expectSameRecord(s, ScanSettings(path()));
    EXPECT_TRUE(QFileInfo(path()).isDir());
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());
}

TEST_F(BadInputTest, CharacterDeviceIsNotRead) {
    // /dev/zero would never end if it were read; it is not a regular file, so it is not opened.
    ScanSettings s(QStringLiteral("/dev/zero"));
    s.ReadIni();
    EXPECT_EQ(s.settingsAvailable, 0);
    EXPECT_EQ(INI::ReadIniKeys(QStringLiteral("/dev/zero"), QStringLiteral("MAIN")), QStringList());
}

TEST_F(BadInputTest, PlantedLinkIsReadButNeverWrittenThrough) {
    writeBytes(path("target.ini"), "[MAIN]\nFormato=TIFF\n");
    ASSERT_TRUE(QFile::link(path("target.ini"), path()));
    ScanSettings s(path());
    s.ReadIni();
    EXPECT_EQ(s.settingsAvailable, -1);
    EXPECT_EQ(s.ResultFormat, QStringLiteral("TIFF"));
    s.ResultFormat = QStringLiteral("JPEG");
    s.WriteIni();
    EXPECT_EQ(readBytes(path("target.ini")), QByteArray("[MAIN]\nFormato=TIFF\n"));
    EXPECT_TRUE(QFileInfo(path()).isSymLink());

    ASSERT_TRUE(QFile::link(path("absent.ini"), path("dangling.ini")));
    INI::WriteIniValue(path("dangling.ini"), QStringLiteral("MAIN"), QStringLiteral("k"),
                       QStringLiteral("v"));
    EXPECT_FALSE(QFileInfo::exists(path("absent.ini")));
}

TEST_F(BadInputTest, FailedWriteLeavesTheOldFileWhole) {
    // A file-size limit makes the write of the new file fail part way, as a full disk would.
    QByteArray before = "[MAIN]\nFormato=TIFF\n; " + QByteArray(4000, 'c') + "\n";
    writeBytes(path(), before);
    ScanSettings s(path());
    s.ResultFormat = QStringLiteral("JPEG");

    {
        FileSizeLimit limit(1024);
        ASSERT_TRUE(limit.active());
        s.WriteIni();
    }

    EXPECT_EQ(readBytes(path()), before);
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());

    s.WriteIni(); // without the limit it goes through
    ScanSettings after(path());
    after.ReadIni();
    EXPECT_EQ(after.ResultFormat, QStringLiteral("JPEG"));
}

TEST_F(BadInputTest, RecordWithAnUnwritableValueLeavesTheFileAsItWas) {
    const QByteArray before = "[MAIN]\nFormato=TIFF\nPagina=A3\n";
    writeBytes(path(), before);
    ScanSettings s(path());
    s.Pagina = QStringLiteral("A4\r\n[MAIN]\r\nFormato=JPEG");
    s.ResultFormat = QStringLiteral("PDF");
    s.WriteIni();
    EXPECT_EQ(readBytes(path()), before) << "no key of the record is written, not even Formato";
}

TEST_F(BadInputTest, LoadingIsQuickOnAFileAtTheBound) {
    // One read of the file serves all keys: a file of many recognised keys near the bound
    // must not be read and parsed once per key.
    QByteArray bytes = "[MAIN]\n";
    while (bytes.size() < IniDocument::maxFileBytes - 100)
        bytes += "Area=1\n";
    writeBytes(path(), bytes);
    // Measured against one read and parse of the same file in the same run, so that a slow
    // or busy machine (or a sanitizer build) slows both alike: reading every key costs about
    // one parse, reading the file once per key dozens.
    QElapsedTimer timer;
    timer.start();
    const IniDocument once = IniDocument::load(path());
    EXPECT_EQ(once.sectionValues(QStringLiteral("MAIN")).value(QStringLiteral("area")), "1");
    const qint64 oneParseMs = timer.restart();
    ScanSettings s(path());
    s.ReadIni();
    EXPECT_EQ(s.area, QStringLiteral("1"));
    EXPECT_LT(timer.elapsed(), 10 * oneParseMs + 2000) << "one parse took " << oneParseMs << " ms";
}

} // namespace
