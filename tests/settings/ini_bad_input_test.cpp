// Whatever sits at the settings path, loading never hangs, never crashes and uses what it
// can; writing never loses what was there.
#include "settings/Ini.h"
#include "settings/IniDocument.h"
#include "settings/ScanSettings.h"
#include "settings/SettingsWarnings.h"

#include "settings_test_support.h"
#include "support/TestTools.h"

#include <QElapsedTimer>
#include <QStringEncoder>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

QByteArray utf16(const char* text, QStringConverter::Encoding encoding) {
    QStringEncoder encoder(encoding);
    return encoder(QString::fromUtf8(text));
}

struct WarningCase {
    const char* name;
    QByteArray file;
    QStringList warnings;    // what each warning starts with, in order
    QString resultFormat;    // ResultFormat after the read
    int32_t risoluzione = 0; // Risoluzione after the read
};

void PrintTo(const WarningCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsWarningsTest : public BadInputTest,
                             public ::testing::WithParamInterface<WarningCase> {};

// What a file lets ReadIni use, and what it says about the rest.
TEST_P(SettingsWarningsTest, SaysWhatWasNotRead) {
    const WarningCase& c = GetParam();
    const ScanSettings s = loadBytes(c.file);
    EXPECT_EQ(s.ResultFormat, c.resultFormat);
    EXPECT_EQ(s.Risoluzione, c.risoluzione);
    const QStringList warnings = settingsWarnings(s);
    ASSERT_EQ(warnings.size(), c.warnings.size()) << warnings.join(u'\n').toStdString();
    for (qsizetype i = 0; i < warnings.size(); ++i)
        EXPECT_TRUE(
            warnings[i].startsWith(QString(c.warnings[i]).replace(QLatin1String("%1"), path())))
            << warnings[i].toStdString();
}

const QString noMain = QStringLiteral("il file delle impostazioni %1 non ha la sezione [MAIN]: "
                                      "nessuna impostazione letta, valgono quelle predefinite");
const QString noBom = QStringLiteral("il file delle impostazioni %1 sembra testo UTF-16 senza BOM");

INSTANTIATE_TEST_SUITE_P(
    Files, SettingsWarningsTest,
    ::testing::Values(
        WarningCase{"WholeFile", "[MAIN]\nFormato=TIFF\nRisoluzione=300\n", {}, "TIFF", 300},
        WarningCase{"CommentBeyondTheBound",
                    "; " + QByteArray(5000000, '-') + "\n[MAIN]\nFormato=TIFF\n",
                    {QStringLiteral("il file delle impostazioni %1 supera 4 MiB: oltre i primi "
                                    "4 MiB non è stato letto"),
                     noMain},
                    "PDF"},
        WarningCase{"NoMainSection", "[ALTRO]\nFormato=TIFF\n", {noMain}, "PDF"},
        WarningCase{"EmptyFile", "", {noMain}, "PDF"},
        WarningCase{"UnclosedHeader",
                    "; impostazioni\n[MAIN\nFormato=TIFF\n",
                    {QStringLiteral("il file delle impostazioni %1 apre la sezione [MAIN alla "
                                    "riga 2 senza chiuderla con \"]\"")},
                    "PDF"},
        WarningCase{"Utf16LeWithoutBom",
                    utf16("[MAIN]\r\nFormato=TIFF\r\n", QStringConverter::Utf16LE),
                    {noBom},
                    "PDF"},
        WarningCase{"Utf16BeWithoutBom",
                    utf16("[MAIN]\r\nFormato=TIFF\r\n", QStringConverter::Utf16BE),
                    {noBom},
                    "PDF"},
        WarningCase{"Utf16LeWithBom",
                    "\xFF\xFE" + utf16("[MAIN]\r\nFormato=TIFF\r\nQualit\u00e0JPEG=4\r\n",
                                       QStringConverter::Utf16LE),
                    {},
                    "TIFF"},
        WarningCase{"Utf16BeWithBom",
                    "\xFE\xFF" + utf16("[MAIN]\r\nFormato=TIFF\r\n", QStringConverter::Utf16BE),
                    {},
                    "TIFF"},
        WarningCase{"WordForResolution",
                    "[MAIN]\nRisoluzione=alta\n",
                    {QStringLiteral("impostazione Risoluzione=alta non usata: serve un numero "
                                    "intero da -2147483648 a 2147483647 (resta 0)")},
                    "PDF"},
        // Decimal text only: a hexadecimal literal is not a number of the settings file.
        WarningCase{"HexadecimalResolution",
                    "[MAIN]\nRisoluzione=&H96\n",
                    {QStringLiteral("impostazione Risoluzione=&H96 non usata")},
                    "PDF"},
        WarningCase{"ResolutionOutOfRange",
                    "[MAIN]\nRisoluzione=99999999999999\n",
                    {QStringLiteral("impostazione Risoluzione=99999999999999 non usata")},
                    "PDF"},
        WarningCase{"ControlCharactersShownEscaped",
                    QByteArray("[MAIN]\nLuminosita=1\0\x1b[2J\n", 24),
                    {QStringLiteral("impostazione Luminosita=1\\x00\\x1b[2J non usata: serve un "
                                    "numero intero da -32768 a 32767 (resta 0)")},
                    "PDF"},
        WarningCase{"EmptyNumberIsNoWarning", "[MAIN]\nRisoluzione=\nFormato=JPEG\n", {}, "JPEG"}));

TEST_F(BadInputTest, Utf16WithBomIsWrittenBackInItsEncoding) {
    const QByteArray before =
        "\xFF\xFE" + utf16("[MAIN]\r\nFormato=TIFF\r\n; nota\r\n", QStringConverter::Utf16LE);
    writeBytes(path(), before);
    INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("Formato"),
                       QStringLiteral("JPEG"));
    EXPECT_EQ(readBytes(path()), "\xFF\xFE" + utf16("[MAIN]\r\nFormato=JPEG\r\n; nota\r\n",
                                                    QStringConverter::Utf16LE));
}

TEST_F(BadInputTest, NumberWarningGoesWhenTheHostSetsTheField) {
    ScanSettings s = loadBytes("[MAIN]\nRisoluzione=alta\nBitPerPixel=x\n");
    ASSERT_EQ(settingsWarnings(s).size(), 2);
    s.Risoluzione = 300;
    EXPECT_EQ(settingsWarnings(s).size(), 1) << "only BitPerPixel's text is still true";
    EXPECT_TRUE(settingsWarnings(ScanSettings(path())).isEmpty()) << "a record never read";
}

// A file of nothing but short lines at the read bound is read with little memory: its lines
// are not each kept as objects of their own. Measured in a child, whose peak says only this.
TEST_F(BadInputTest, ShortLinesAtTheBoundTakeLittleMemory) {
    const auto statusKb = [](const char* field) {
        QFile f(QStringLiteral("/proc/self/status"));
        if (!f.open(QIODevice::ReadOnly))
            return -1L;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
        return -1L;
    };
    for (const QByteArray& unit : {QByteArray("\n"), QByteArray("k=\n")}) {
        QByteArray bytes = "[MAIN]\n";
        while (bytes.size() + unit.size() <= IniDocument::maxFileBytes)
            bytes += unit;
        writeBytes(path(), bytes);
        bytes = QByteArray();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const long before = statusKb("VmRSS:");
            ScanSettings s(path());
            s.ReadIni();
            // About 14 MB here, over 380 MB when every line was an object.
            ::_exit(before > 0 && statusKb("VmHWM:") - before < 128 * 1024 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << unit.toStdString();
    }
}

} // namespace
