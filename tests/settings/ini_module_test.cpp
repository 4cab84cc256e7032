// The module INI: key list, value and write on the private-profile rules.
#include "settings/Ini.h"
#include "settings/IniDocument.h"

#include "settings_test_support.h"

namespace {

class IniModuleTest : public FolderTest {};

TEST_F(IniModuleTest, KeyListInFileOrderAsWritten) {
    writeBytes(path(), "[ALTRO]\nx=1\n[Main]\n  Pagina = A4\nFORMATO=PDF\n; nota=1\n"
                       "Pagina=A3\n\n[Vuota]\n\n[FINE]\ny=2\n");
    EXPECT_EQ(INI::ReadIniKeys(path(), QStringLiteral("MAIN")),
              (QStringList{QStringLiteral("Pagina"), QStringLiteral("FORMATO"),
                           QStringLiteral("Pagina")}));
    EXPECT_EQ(INI::ReadIniKeys(path(), QStringLiteral("vuota")), QStringList());
    EXPECT_EQ(INI::ReadIniKeys(path(), QStringLiteral("NESSUNA")), QStringList());
    EXPECT_EQ(INI::ReadIniKeys(path("missing.ini"), QStringLiteral("MAIN")), QStringList());
}

TEST_F(IniModuleTest, ValueLookupRules) {
    writeBytes(path(), "[MAIN]\nFormato=TIFF\nformato=JPEG\nArea=\nQ=\"\"\nS='x'\nT=\"x'\n"
                       "Lungo=" +
                           QByteArray(300, 'v') + "\n");
    const struct {
        const char* key;
        QString value;
    } cases[] = {
        {"FORMATO", QStringLiteral("TIFF")},     // any case, first wins
        {"  formato  ", QStringLiteral("TIFF")}, // blanks around the asked name
        {"Area", QString()},                     // present and empty
        {"Q", QString()},                        // quotes only
        {"S", QStringLiteral("x")},              // single quotes
        {"T", QStringLiteral("\"x'")},           // unmatched quotes stay
        {"Lungo", QString(255, u'v')},           // cut to 255
        {"Assente", QString()},                  // absent
    };
    for (const auto& c : cases)
        EXPECT_EQ(INI::ReadIniValue(path(), QStringLiteral("main"), QString::fromLatin1(c.key)),
                  c.value)
            << c.key;
    EXPECT_EQ(INI::ReadIniValue(path("missing.ini"), QStringLiteral("MAIN"), QStringLiteral("x")),
              QString());
}

TEST_F(IniModuleTest, CutNeverSplitsACharacter) {
    QString value(254, u'a');
    value += QString::fromUtf8("\U0001F600"); // a surrogate pair across the 255th position
    EXPECT_EQ(valueThroughBuffer(value), QString(254, u'a'));
}

// The key list passes through a 4096-character buffer: each name takes its length plus a
// terminator, and the list ends with one more terminator.
TEST_F(IniModuleTest, KeyListAtTheBufferBoundary) {
    QStringList names;
    for (int i = 0; i < 409; ++i)
        names << QStringLiteral("K%1").arg(i, 8, 10, QLatin1Char('0')); // 9 characters
    // 1 + 409 * 10 = 4091 used so far.
    const QStringList exactFit = names + QStringList{QStringLiteral("Area")}; // 4096
    const QStringList oneOver = names + QStringList{QStringLiteral("Pagin")}; // 4097

    auto fileWith = [](const QStringList& keys) {
        QByteArray text = "[MAIN]\n";
        for (const QString& k : keys)
            text += k.toLatin1() + "=1\n";
        return text;
    };
    writeBytes(path("fit.ini"), fileWith(exactFit));
    writeBytes(path("over.ini"), fileWith(oneOver + QStringList{QStringLiteral("Formato")}));

    EXPECT_EQ(INI::ReadIniKeys(path("fit.ini"), QStringLiteral("MAIN")), exactFit);
    // The name that would be cut is dropped whole, and so is everything after it: a cut
    // "Pagin" must never be offered as a key.
    EXPECT_EQ(INI::ReadIniKeys(path("over.ini"), QStringLiteral("MAIN")), names);

    ScanSettings s(path("over.ini"));
    s.ReadIni();
    EXPECT_EQ(s.ResultFormat, QStringLiteral("PDF")) << "keys beyond the buffer are not loaded";
    ScanSettings fit(path("fit.ini"));
    fit.ReadIni();
    EXPECT_EQ(fit.area, QStringLiteral("1")) << "the last key that fits is loaded";
}

TEST_F(IniModuleTest, WriteCreatesFileAndSection) {
    INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("Formato"),
                       QStringLiteral("TIFF"));
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\nFormato=TIFF\n"));
    INI::WriteIniValue(path(), QStringLiteral("ALTRO"), QStringLiteral("x"), QStringLiteral("1"));
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\nFormato=TIFF\n\n[ALTRO]\nx=1\n"));
    INI::WriteIniValue(path(), QStringLiteral("main"), QStringLiteral("FORMATO"),
                       QStringLiteral("PDF"));
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\nFormato=PDF\n\n[ALTRO]\nx=1\n"));
    INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("Pagina"),
                       QStringLiteral("A4"));
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\nFormato=PDF\nPagina=A4\n\n[ALTRO]\nx=1\n"));
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());
}

TEST_F(IniModuleTest, WriteIntoFileWithoutFinalLineEnd) {
    writeBytes(path(), "[MAIN]\r\nPagina=A4");
    INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("Area"),
                       QStringLiteral("1,2"));
    EXPECT_EQ(readBytes(path()), QByteArray("[MAIN]\r\nPagina=A4\r\nArea=1,2\r\n"));
    INI::WriteIniValue(path(), QStringLiteral("NUOVA"), QStringLiteral("k"), QStringLiteral("v"));
    EXPECT_EQ(readBytes(path()),
              QByteArray("[MAIN]\r\nPagina=A4\r\nArea=1,2\r\n\r\n[NUOVA]\r\nk=v\r\n"));
}

TEST_F(IniModuleTest, ValuesTheReaderWouldAlterRoundTrip) {
    const QString values[] = {QStringLiteral(" lead"),
                              QStringLiteral("trail\t"),
                              QStringLiteral("\"quoted\""),
                              QStringLiteral("'single'"),
                              QStringLiteral("\""),
                              QStringLiteral("a=b;c[d]"),
                              QString(),
                              QStringLiteral("Error: key")};
    for (const QString& value : values) {
        INI::WriteIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("k"), value);
        EXPECT_EQ(INI::ReadIniValue(path(), QStringLiteral("MAIN"), QStringLiteral("k")), value);
    }
}

TEST_F(IniModuleTest, UnwritableNamesAndValuesChangeNothing) {
    const QByteArray before = "[MAIN]\nFormato=PDF\n";
    writeBytes(path(), before);
    const struct {
        const char* section;
        const char* key;
        QString value;
    } refused[] = {
        {"MAIN", "Formato", QStringLiteral("TIFF\n[EVIL]\nx=1")},
        {"MAIN", "Formato", QStringLiteral("TIFF\rx")},
        {"MAIN", "Formato", QStringLiteral("TI") + QChar(0) + QStringLiteral("FF")},
        {"MAIN", "", QStringLiteral("v")},
        {"MAIN", "a=b", QStringLiteral("v")},
        {"MAIN", "[x", QStringLiteral("v")},
        {"MAIN", ";x", QStringLiteral("v")},
        {"MAIN", "x\ny", QStringLiteral("v")},
        {"", "x", QStringLiteral("v")},
        {"MA]IN", "x", QStringLiteral("v")},
        {"MA\nIN", "x", QStringLiteral("v")},
    };
    for (const auto& c : refused) {
        INI::WriteIniValue(path(), QString::fromLatin1(c.section), QString::fromLatin1(c.key),
                           c.value);
        EXPECT_EQ(readBytes(path()), before) << c.section << " / " << c.key;
    }
    EXPECT_EQ(otherEntries(m_dir.path(), QStringLiteral("scanner.ini")), QStringList());
}

TEST_F(IniModuleTest, WriteIntoMissingFolderCreatesNothing) {
    INI::WriteIniValue(path("no/such/test.ini"), QStringLiteral("MAIN"), QStringLiteral("k"),
                       QStringLiteral("v"));
    EXPECT_FALSE(QFileInfo::exists(path("no")));
    EXPECT_EQ(otherEntries(m_dir.path(), QString()), QStringList());
}

TEST(IniDocumentTest, BytesRoundTripWhenNothingChanges) {
    const QByteArray texts[] = {"",
                                "\n",
                                "[MAIN]",
                                "\xef\xbb\xbf[MAIN]\r\nx = 1 ; c\r\n\r\n",
                                "a\rb\n\n\n",
                                "; only a comment",
                                "[MAIN]\nk=\xc3\xa0\n"};
    for (const QByteArray& text : texts)
        EXPECT_EQ(IniDocument::fromBytes(text).toBytes(), text) << text.toStdString();
}

} // namespace
