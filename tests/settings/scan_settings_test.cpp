// The settings record: defaults, the file check at creation, loading section MAIN and
// writing it back.
#include "settings/ScanSettings.h"

#include "settings_test_support.h"

#include <QFileInfo>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A record in a state a host might leave it in before ReadIni, so that a row can show that
// a field was changed to empty or kept as it was.
void presetRecord(ScanSettings& s) {
    s.Pagina = QStringLiteral("A4");
    s.area = QStringLiteral("21,29.7");
    s.Luminosita = 5;
    s.Contrasto = 6;
    s.BitColoreGreyLevel = 8;
}

struct LoadCase {
    const char* name;
    QByteArray file;
    bool preset;                                // start from presetRecord instead of defaults
    std::function<void(ScanSettings&)> changes; // what the load must change
};

void PrintTo(const LoadCase& c, std::ostream* out) {
    *out << c.name;
}

class ReadIniTest : public ::testing::TestWithParam<LoadCase> {
protected:
    QTemporaryDir m_dir;
};

TEST_P(ReadIniTest, LoadsTheFields) {
    const LoadCase& c = GetParam();
    const QString path = m_dir.filePath(QStringLiteral("scanner.ini"));
    writeBytes(path, c.file);

    ScanSettings loaded(path);
    ScanSettings expected(path);
    if (c.preset) {
        presetRecord(loaded);
        presetRecord(expected);
    }
    if (c.changes)
        c.changes(expected);
    loaded.ReadIni();
    expectSameRecord(loaded, expected);
    EXPECT_EQ(readBytes(path), c.file) << "reading must not touch the file";
}

const QString area300 = QString(300, u'7');

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, ReadIniTest,
    ::testing::Values(
        LoadCase{"KeyAsWritten", "[MAIN]\nFormato=TIFF\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"KeyUpperCase", "[MAIN]\nFORMATO=TIFF\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"KeyLowerCase", "[MAIN]\nformato=TIFF\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"LaterKeyAnyCase", "[MAIN]\npdfa=2B\nPdFa=1b\n", false,
                 [](ScanSettings& s) { s.setPDFA(QStringLiteral("2B")); }},
        LoadCase{"AccentedKeyLowerCaseUtf8", "[MAIN]\nqualit\xc3\xa0jpeg=75\n", false,
                 [](ScanSettings& s) { s.JpegQualityTiffCompression = 75; }},
        LoadCase{"AccentedKeyUpperCaseUtf8", "[MAIN]\nQUALIT\xc3\x80JPEG=75\n", false,
                 [](ScanSettings& s) { s.JpegQualityTiffCompression = 75; }},
        LoadCase{"AccentedKeyWindows1252", "[MAIN]\r\nQualit\xe0JPEG=75\r\n", false,
                 [](ScanSettings& s) { s.JpegQualityTiffCompression = 75; }},
        LoadCase{"AccentedKeyDecomposed", "[MAIN]\nQualita\xcc\x80JPEG=75\n", false,
                 [](ScanSettings& s) { s.JpegQualityTiffCompression = 75; }},
        LoadCase{"NotANumberKeepsFieldOthersLoad", "[MAIN]\nBitPerPixel=abc\nRisoluzione=300\n",
                 true, [](ScanSettings& s) { s.Risoluzione = 300; }},
        LoadCase{"SixteenBitOverflowKeepsField", "[MAIN]\nBitPerPixel=40000\nRisoluzione=40000\n",
                 true, [](ScanSettings& s) { s.Risoluzione = 40000; }},
        LoadCase{"NeverWrapped", "[MAIN]\nLuminosita=70000\nContrasto=-70000\n", true, nullptr},
        LoadCase{"EmptyTextValueEmptiesField", "[MAIN]\nPagina=\n", true,
                 [](ScanSettings& s) { s.Pagina.clear(); }},
        LoadCase{"EmptyNumberKeepsField", "[MAIN]\nLuminosita=\nContrasto=  \n", true, nullptr},
        LoadCase{"NoMainSectionKeepsDefaults", "[ALTRO]\nFormato=TIFF\nPagina=A3\n", false,
                 nullptr},
        LoadCase{"KeysBeforeAnySectionIgnored", "Formato=TIFF\n[MAIN]\n", false, nullptr},
        LoadCase{"EmptyFile", "", false, nullptr},
        LoadCase{"ValueCutAt255", "[MAIN]\nArea=" + area300.toLatin1() + "\n", false,
                 [](ScanSettings& s) { s.area = area300.left(255); }},
        LoadCase{"LiteralErrorTextLoadsEmpty", "[MAIN]\nArea=Error: key not defined\n", true,
                 [](ScanSettings& s) { s.area.clear(); }},
        LoadCase{"DuplicateKeyFirstWins", "[MAIN]\nFormato=TIFF\nFORMATO=JPEG\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"DuplicateSectionFirstWins", "[MAIN]\nFormato=TIFF\n[main]\nPagina=A3\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"BlanksAndQuotes",
                 "  [ main ]  \n  Formato  =  \"TIFF\"  \n\tPagina\t=\t'A3'\nArea=\" 21,29.7 \"\n"
                 "TipoScansione=\"GRAY\n",
                 false,
                 [](ScanSettings& s) {
                     s.ResultFormat = QStringLiteral("TIFF");
                     s.Pagina = QStringLiteral("A3");
                     s.area = QStringLiteral(" 21,29.7 ");
                     s.PixelType = QStringLiteral("\"GRAY");
                 }},
        LoadCase{"HalvesToEven", "[MAIN]\nRisoluzione=299.5\nContrasto=-2.5\nLuminosita=3.5\n",
                 false,
                 [](ScanSettings& s) {
                     s.Risoluzione = 300;
                     s.Contrasto = -2;
                     s.Luminosita = 4;
                 }},
        LoadCase{"InlineSemicolonIsPartOfTheValue", "[MAIN]\nRisoluzione=200 ; dpi\n", false,
                 nullptr},
        LoadCase{"CommentsAndUnknownKeysSkipped",
                 "; settings\r\n[MAIN]\r\n;Formato=JPEG\r\nColore=1\r\nno equals sign\r\n"
                 "=orphan\r\nSogliaBiancoNero=128\r\n",
                 false, [](ScanSettings& s) { s.BWThreshold = 128; }},
        LoadCase{"NulInKeyNameSkipsThatLine", QByteArray("[MAIN]\nForm\0ato=TIFF\nPagina=A5\n", 31),
                 false, [](ScanSettings& s) { s.Pagina = QStringLiteral("A5"); }},
        LoadCase{"NulInValueKept", QByteArray("[MAIN]\nArea=21\0,29\n", 19), false,
                 [](ScanSettings& s) {
                     s.area = QStringLiteral("21") + QChar(0) + QStringLiteral(",29");
                 }},
        LoadCase{"OldMacLineEnds", "[MAIN]\rFormato=TIFF\rPagina=A3", false,
                 [](ScanSettings& s) {
                     s.ResultFormat = QStringLiteral("TIFF");
                     s.Pagina = QStringLiteral("A3");
                 }},
        LoadCase{"Utf8ByteOrderMark", "\xef\xbb\xbf[MAIN]\nFormato=TIFF\n", false,
                 [](ScanSettings& s) { s.ResultFormat = QStringLiteral("TIFF"); }},
        LoadCase{"Windows1252Value", "[MAIN]\nArea=21\x80,29\n", false,
                 [](ScanSettings& s) { s.area = QString::fromUtf8("21\u20ac,29"); }},
        LoadCase{"AllTenKeys",
                 "[MAIN]\nPagina=A4\nArea=20,28\nTipoScansione=GRAY\nBitPerPixel=8\n"
                 "SogliaBiancoNero=128\nQualit\xc3\xa0JPEG=75\nRisoluzione=200\nFormato=JPEG\n"
                 "Luminosita=-10\nContrasto=+20\n",
                 false,
                 [](ScanSettings& s) {
                     s.Pagina = QStringLiteral("A4");
                     s.area = QStringLiteral("20,28");
                     s.PixelType = QStringLiteral("GRAY");
                     s.BitColoreGreyLevel = 8;
                     s.BWThreshold = 128;
                     s.JpegQualityTiffCompression = 75;
                     s.Risoluzione = 200;
                     s.ResultFormat = QStringLiteral("JPEG");
                     s.Luminosita = -10;
                     s.Contrasto = 20;
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

class ScanSettingsFileTest : public FolderTest {};

TEST_F(ScanSettingsFileTest, DefaultsOfANewRecord) {
    const ScanSettings s(path());
    EXPECT_EQ(s.ViewProgress, -1);
    EXPECT_EQ(s.ResultFormat, QStringLiteral("PDF"));
    EXPECT_EQ(s.PixelType, QStringLiteral("BW"));
    EXPECT_EQ(s.Risoluzione, 0);
    EXPECT_EQ(s.BitColoreGreyLevel, 0);
    EXPECT_EQ(s.BWThreshold, 0);
    EXPECT_EQ(s.JpegQualityTiffCompression, 0);
    EXPECT_EQ(s.Luminosita, 0);
    EXPECT_EQ(s.Contrasto, 0);
    EXPECT_TRUE(s.Pagina.isEmpty());
    EXPECT_TRUE(s.area.isEmpty());
    EXPECT_EQ(s.settingsAvailable, 0);
    EXPECT_EQ(s.iniPath(), path());
}

TEST_F(ScanSettingsFileTest, SettingsAvailableByKindOfPath) {
    writeBytes(path("file.ini"), "[MAIN]\n");
    ASSERT_TRUE(QDir(m_dir.path()).mkdir(QStringLiteral("folder.ini")));
    ASSERT_TRUE(QFile::link(path("file.ini"), path("link.ini")));
    ASSERT_TRUE(QFile::link(path("gone.ini"), path("dangling.ini")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("fifo.ini")).constData(), 0600), 0);
    const std::pair<const char*, int16_t> cases[] = {
        {"file.ini", -1},    {"link.ini", -1}, {"missing.ini", 0}, {"folder.ini", 0},
        {"dangling.ini", 0}, {"fifo.ini", 0},  {"file.ini/x", 0}};
    for (const auto& [name, available] : cases)
        EXPECT_EQ(ScanSettings(path(name)).settingsAvailable, available) << name;
    EXPECT_EQ(ScanSettings(QString()).settingsAvailable, 0);
}

TEST_F(ScanSettingsFileTest, SettingsAvailableIsFixedAtCreation) {
    ScanSettings before(path());
    writeBytes(path(), "[MAIN]\nFormato=TIFF\n");
    before.ReadIni();
    EXPECT_EQ(before.settingsAvailable, 0);
    EXPECT_EQ(before.ResultFormat, QStringLiteral("TIFF"));

    ScanSettings after(path());
    ASSERT_TRUE(QFile::remove(path()));
    after.ReadIni();
    EXPECT_EQ(after.settingsAvailable, -1);
    EXPECT_EQ(after.ResultFormat, QStringLiteral("PDF"));
}

TEST_F(ScanSettingsFileTest, PathFromEnvironmentOrFixed) {
    EnvironmentGuard guard("SCANSIONE_INI");
    qputenv("SCANSIONE_INI", QFile::encodeName(path()));
    EXPECT_EQ(ScanSettings::defaultIniPath(), path());
    writeBytes(path(), "[MAIN]\nPagina=A3\n");
    ScanSettings s;
    EXPECT_EQ(s.iniPath(), path());
    EXPECT_EQ(s.settingsAvailable, -1);
    s.ReadIni();
    EXPECT_EQ(s.Pagina, QStringLiteral("A3"));

    qunsetenv("SCANSIONE_INI");
    EXPECT_EQ(ScanSettings::defaultIniPath(), QStringLiteral("/etc/scansione/scanner.ini"));
    qputenv("SCANSIONE_INI", "");
    EXPECT_EQ(ScanSettings::defaultIniPath(), QStringLiteral("/etc/scansione/scanner.ini"));
}

TEST_F(ScanSettingsFileTest, WriteIniCreatesTheTenKeysInOrder) {
    ScanSettings s(path());
    s.Pagina = QStringLiteral("A4");
    s.PixelType = QStringLiteral("GRAY");
    s.BitColoreGreyLevel = 8;
    s.BWThreshold = -128;
    s.JpegQualityTiffCompression = 75;
    s.Risoluzione = 200;
    s.Luminosita = 10;
    s.Contrasto = -5;
    s.ViewProgress = 0;
    s.WriteIni();
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\nPagina=A4\nArea=\nTipoScansione=GRAY\n"
                                            "BitPerPixel=8\nSogliaBiancoNero=-128\n"
                                            "Qualit\xc3\xa0JPEG=75\nRisoluzione=200\n"
                                            "Formato=PDF\nLuminosita=10\nContrasto=-5\n"));
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());
    // The record's own file state is not rewritten by writing.
    EXPECT_EQ(s.settingsAvailable, 0);
}

TEST_F(ScanSettingsFileTest, WrittenRecordLoadsBackWhole) {
    ScanSettings s(path());
    s.Pagina = QStringLiteral("\"A4\"");      // quotes that the reader would strip
    s.area = QStringLiteral("  21.0,29.7  "); // blanks that the reader would trim
    s.PixelType = QString::fromUtf8("COLORE \u00e0 colori");
    s.ResultFormat = QStringLiteral("TIFF");
    s.BitColoreGreyLevel = -32768;
    s.BWThreshold = 32767;
    s.JpegQualityTiffCompression = 4;
    s.Risoluzione = -2147483647 - 1;
    s.Luminosita = -1;
    s.Contrasto = 1;
    s.setPDFA(QStringLiteral("2b"));
    s.WriteIni();
    ScanSettings loaded(path());
    loaded.ReadIni();
    s.settingsAvailable = -1; // the fresh record found the file
    expectSameRecord(loaded, s);

    // Emptied, the key is written empty rather than left at its old value in the file.
    s.setPDFA(QString());
    s.WriteIni();
    loaded.ReadIni();
    EXPECT_EQ(loaded.PDFA(), QString());
    EXPECT_TRUE(readBytes(path()).endsWith("\nPDFA=\n"));
}

// Each later key is its own value: read in any letter case, written under its own name, and
// no other key's accessor sees it.
TEST_F(ScanSettingsFileTest, EachLaterKeyReadsAndWritesItsOwnValue) {
    const struct {
        const char* name;
        QString (ScanSettings::*get)() const;
        void (ScanSettings::*set)(const QString&);
    } keys[] = {
        {"PDFA", &ScanSettings::PDFA, &ScanSettings::setPDFA},
        {"OCR", &ScanSettings::OCR, &ScanSettings::setOCR},
        {"LinguaOCR", &ScanSettings::LinguaOCR, &ScanSettings::setLinguaOCR},
        {"PagineBianche", &ScanSettings::PagineBianche, &ScanSettings::setPagineBianche},
        {"RuotaAutomatica", &ScanSettings::RuotaAutomatica, &ScanSettings::setRuotaAutomatica},
        {"Raddrizza", &ScanSettings::Raddrizza, &ScanSettings::setRaddrizza}};
    for (const auto& key : keys) {
        SCOPED_TRACE(key.name);
        const QByteArray name(key.name);
        writeBytes(path(), "[MAIN]\n" + name.toLower() + "=ita+eng\n");
        ScanSettings s(path());
        s.ReadIni();
        for (const auto& other : keys)
            EXPECT_EQ((s.*other.get)(), &other == &key ? "ita+eng" : QString()) << other.name;
        const QString fresh = path((name + ".ini").constData());
        ScanSettings written(fresh);
        (written.*key.set)(QStringLiteral("ita+eng"));
        written.WriteIni();
        EXPECT_TRUE(readBytes(fresh).endsWith("\nContrasto=0\n" + name + "=ita+eng\n"));
    }
}

TEST_F(ScanSettingsFileTest, CopiesAndMovesCarryTheLaterKeys) {
    ScanSettings s(path());
    s.Risoluzione = 300;
    s.setPDFA(QStringLiteral("1b"));
    ScanSettings copy(s);
    ScanSettings assigned(path());
    assigned = copy;
    s.setPDFA(QStringLiteral("2b")); // the copies keep their own value
    expectSameRecord(assigned, copy);
    EXPECT_EQ(copy.PDFA(), QStringLiteral("1b"));
    ScanSettings moved(std::move(copy));
    EXPECT_EQ(moved.PDFA(), QStringLiteral("1b"));
    EXPECT_EQ(moved.Risoluzione, 300);
    copy = s; // a moved-from record takes a value again
    EXPECT_EQ(copy.PDFA(), QStringLiteral("2b"));
}

TEST_F(ScanSettingsFileTest, WriteIniKeepsTheRestOfTheFile) {
    const QByteArray before = "; impostazioni dello scanner\r\n"
                              "[ALTRO]\r\nFormato=JPEG\r\n\r\n"
                              "[main]\r\nformato = JPEG\r\nColore=1\r\n\r\n"
                              "[FINE]\r\ny=2";
    writeBytes(path(), before);
    ScanSettings s(path());
    s.ReadIni();
    EXPECT_EQ(s.ResultFormat, QStringLiteral("JPEG"));
    s.ResultFormat = QStringLiteral("PDF");
    s.WriteIni();
    EXPECT_EQ(readBytes(path()), QByteArray("; impostazioni dello scanner\r\n"
                                            "[ALTRO]\r\nFormato=JPEG\r\n\r\n"
                                            "[main]\r\nformato=PDF\r\nColore=1\r\n"
                                            "Pagina=\r\nArea=\r\nTipoScansione=BW\r\n"
                                            "BitPerPixel=0\r\nSogliaBiancoNero=0\r\n"
                                            "Qualit\xc3\xa0JPEG=0\r\nRisoluzione=0\r\n"
                                            "Luminosita=0\r\nContrasto=0\r\n\r\n"
                                            "[FINE]\r\ny=2"));
}

TEST_F(ScanSettingsFileTest, WriteIniKeepsPermissions) {
    writeBytes(path(), "[MAIN]\nFormato=TIFF\n");
    ASSERT_EQ(::chmod(QFile::encodeName(path()).constData(), 0640), 0);
    ScanSettings(path()).WriteIni();
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path()).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(ScanSettingsFileTest, Windows1252FileIsRewrittenAsUtf8) {
    writeBytes(path(), "; qualit\xe0 alta\n[MAIN]\nQualit\xe0JPEG=75\n");
    ScanSettings s(path());
    s.ReadIni();
    ASSERT_EQ(s.JpegQualityTiffCompression, 75);
    s.JpegQualityTiffCompression = 90;
    s.WriteIni();
    const QByteArray after = readBytes(path());
    EXPECT_TRUE(after.startsWith("; qualit\xc3\xa0 alta\n[MAIN]\nQualit\xc3\xa0JPEG=90\n"))
        << after.toStdString();
    ScanSettings again(path());
    again.ReadIni();
    EXPECT_EQ(again.JpegQualityTiffCompression, 90);
}

#ifdef SCANSIONE_EXAMPLES_DIR
TEST(ExampleFile, LoadsTheShippedSettings) {
    ScanSettings s(QStringLiteral(SCANSIONE_EXAMPLES_DIR "/scanner.ini"));
    ASSERT_EQ(s.settingsAvailable, -1);
    s.ReadIni();
    EXPECT_EQ(s.Pagina, QStringLiteral("A4"));
    EXPECT_EQ(s.area, QString());
    EXPECT_EQ(s.PixelType, QStringLiteral("GRAY"));
    EXPECT_EQ(s.BitColoreGreyLevel, 8);
    EXPECT_EQ(s.BWThreshold, 128);
    EXPECT_EQ(s.JpegQualityTiffCompression, 75);
    EXPECT_EQ(s.Risoluzione, 200);
    EXPECT_EQ(s.ResultFormat, QStringLiteral("PDF"));
    EXPECT_EQ(s.Luminosita, 0);
    EXPECT_EQ(s.Contrasto, 0);
}
#endif

} // namespace
