// The scanner programming as the device and the scan log see it: the exact log of a
// "Scansione documento" for a table of settings records, the device calls of the default
// record in order, the duplex rule and the failure paths.
#include "component_base/TwainCodes.h"
#include "support/ScanSession.h"

namespace {

const QString sep = QStringLiteral("OPERAZIONE -------------------------");
const QStringList head{sep, QStringLiteral("OPERAZIONE IMPOSTO PARAMETRI SCANNER"),
                       QStringLiteral("OPERAZIONE IMPOSTO TRANSFERMODE NATIVO")};

struct LogCase {
    const char* name;
    std::function<void(ScanSettings&)> settings;
    std::function<void(FakeScanComponent&)> device;
    /// The log between the transfer-mode line and the closing separator.
    QStringList middle;
    /// Calls that must have been made (in this order among themselves).
    QStringList sent;
    /// Call names that must not appear.
    QStringList notSent;
    /// Lines after the closing separator (the page size set again at the start).
    QStringList tail = {};
};

void indicators(FakeScanComponent& f) {
    f.caps[twain::CAP_INDICATORS] = {};
}

QString op(const char* text) {
    return QStringLiteral("OPERAZIONE ") + QString::fromUtf8(text);
}

QString notice(const char* text) {
    return QStringLiteral("AVVISO ") + QString::fromUtf8(text);
}

std::vector<LogCase> logCases() {
    const auto none = [](ScanSettings&) {};
    const auto noDevice = [](FakeScanComponent&) {};
    return {
        {"DefaultWithIndicators",
         none,
         indicators,
         {op("VISUALIZZA PROGRESS WINDOW True"), op("IMPOSTO SCANSIONE BW")},
         {"Capability=4107", "CapContainer=1", "CapValue=1", "CapSet", "ImagePixelType=0"},
         {"JpegQuality", "TiffCompression", "Brightness", "Contrast", "Unit", "SetImageLayout",
          "PageSize", "Resolution"}},
        {"IndicatorsNotSupported",
         none,
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {"Capability=4107", "CapSupported", "ImagePixelType=0"},
         {"CapSet", "CapValue"}},
        {"ProgressOff",
         [](ScanSettings& s) { s.ViewProgress = 0; },
         indicators,
         {op("VISUALIZZA PROGRESS WINDOW False"), op("IMPOSTO SCANSIONE BW")},
         {"CapValue=0"},
         {}},
        {"ThresholdSupported",
         [](ScanSettings& s) { s.BWThreshold = 128; },
         [](FakeScanComponent& f) { f.caps[twain::ICAP_THRESHOLD] = {}; },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO SOGLIA BW 128")},
         {"ImagePixelType=0", "Capability=4387", "CapContainer=1", "CapValue=128", "CapSet"},
         {}},
        {"ThresholdNotSupportedStillLogged",
         [](ScanSettings& s) { s.BWThreshold = 128; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO SOGLIA BW 128")},
         {"Capability=4387"},
         {"CapSet"}},
        {"GreyEightBits",
         [](ScanSettings& s) {
             s.PixelType = "GRAY";
             s.BitColoreGreyLevel = 8;
         },
         [](FakeScanComponent& f) { f.caps[twain::ICAP_BITDEPTH] = {}; },
         {op("IMPOSTO SCANSIONE LIVELLO GRIGI"), op("IMPOSTO BIT LIVELLO GRIGI 8")},
         {"ImagePixelType=1", "Capability=4395", "CapValue=8", "CapSet"},
         {}},
        {"LowerCaseGrayIsColour",
         [](ScanSettings& s) {
             s.PixelType = "gray";
             s.BitColoreGreyLevel = 24;
         },
         noDevice,
         {op("IMPOSTO SCANSIONE A COLORI"), op("IMPOSTO BIT COLORI 24")},
         {"ImagePixelType=2", "Capability=4395"},
         {"CapSet"}},
        {"ColourWithoutDepth",
         [](ScanSettings& s) { s.PixelType = "RGB"; },
         noDevice,
         {op("IMPOSTO SCANSIONE A COLORI")},
         {"ImagePixelType=2"},
         {"Capability=4395"}},
        {"JpegQuality",
         [](ScanSettings& s) {
             s.ResultFormat = "JPEG";
             s.JpegQualityTiffCompression = 75;
         },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO QUALITA JPEG 75")},
         {"JpegQuality=75"},
         {"TiffCompression"}},
        {"TiffCompression",
         [](ScanSettings& s) {
             s.ResultFormat = "TIFF";
             s.JpegQualityTiffCompression = 4;
         },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO COMPRESSIONE TIFF 4")},
         {"TiffCompression=4"},
         {"JpegQuality"}},
        {"TiffG4OnGreyIsWrittenLzw",
         [](ScanSettings& s) {
             s.ResultFormat = "TIFF";
             s.PixelType = "GRAY";
             s.JpegQualityTiffCompression = 4;
         },
         noDevice,
         {op("IMPOSTO SCANSIONE LIVELLO GRIGI"), op("IMPOSTO COMPRESSIONE TIFF 4")},
         {"TiffCompression=4"},
         {},
         {notice("compressione TIFF 4 (CCITT G4) solo per pagine in bianco e nero: le pagine a "
                 "livelli di grigio sono scritte con 5 (LZW)")}},
        {"TiffJpegOnBlackAndWhiteIsWrittenG4",
         [](ScanSettings& s) {
             s.ResultFormat = "TIFF";
             s.JpegQualityTiffCompression = 7;
         },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO COMPRESSIONE TIFF 7")},
         {"TiffCompression=7"},
         {},
         {notice("compressione TIFF 7 (JPEG) non vale per pagine in bianco e nero: sono "
                 "scritte con 4 (CCITT G4)")}},
        {"UnknownFormatWithNulShownEscaped",
         [](ScanSettings& s) { s.ResultFormat = QString::fromLatin1("TI\0FF", 5); },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {},
         {notice("impostazione Formato=TI\\x00FF non riconosciuta (PDF, TIFF o JPEG): nessun "
                 "documento da scrivere")}},
        {"PdfSendsNeither",
         [](ScanSettings& s) { s.JpegQualityTiffCompression = 75; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"JpegQuality", "TiffCompression"}},
        {"BrightnessAtMaximum",
         [](ScanSettings& s) { s.Luminosita = 100; },
         [](FakeScanComponent& f) { f.values["BrightnessMax"] = 100; },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO LUMINOSITA 100")},
         {"BrightnessMin", "BrightnessMax", "Brightness=100"},
         {}},
        {"BrightnessAboveRange",
         [](ScanSettings& s) { s.Luminosita = 120; },
         [](FakeScanComponent& f) { f.values["BrightnessMax"] = 100; },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO LUMINOSITA 120"), "-1 - VALORE FUORI RANGE"},
         {"BrightnessMin", "BrightnessMax"},
         {"Brightness="}},
        {"BrightnessBelowMinimum",
         [](ScanSettings& s) { s.Luminosita = 5; },
         [](FakeScanComponent& f) { f.values["BrightnessMin"] = 10; },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO LUMINOSITA 5"), "-1 - VALORE FUORI RANGE"},
         {},
         {"Brightness="}},
        {"NegativeBrightnessSkipped",
         [](ScanSettings& s) { s.Luminosita = -100; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"BrightnessMin", "Brightness="}},
        {"ContrastInsideAndAtMinimum",
         [](ScanSettings& s) { s.Contrasto = 50; },
         [](FakeScanComponent& f) {
             f.values["ContrastMin"] = 50;
             f.values["ContrastMax"] = 60;
         },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO CONTRASTO 50")},
         {"ContrastMin", "ContrastMax", "Contrast=50"},
         {}},
        {"ContrastOutside",
         [](ScanSettings& s) { s.Contrasto = 61; },
         [](FakeScanComponent& f) { f.values["ContrastMax"] = 60; },
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO CONTRASTO 61"), "-1 - VALORE FUORI RANGE"},
         {},
         {"Contrast="}},
        {"AreaWithSemicolonIgnored",
         [](ScanSettings& s) { s.area = "21;29.7"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"Unit", "SetImageLayout"},
         {notice("impostazione Area=21;29.7 non usata: servono larghezza e altezza in cm "
                 "separate da una virgola")}},
        {"ControlCharactersInAreaShownEscaped",
         [](ScanSettings& s) {
             s.area = QString::fromLatin1("2\0"
                                          "1,2\n9",
                                          7);
         },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE 2\\x001-2\\x0a9")},
         {"Unit=1"},
         {}},
        {"AreaLetters",
         [](ScanSettings& s) { s.area = "a,b"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE a-b")},
         {"Unit=1", "SetImageLayout(0,0,0,0)"},
         {}},
        {"AreaThreeFields",
         [](ScanSettings& s) { s.area = "21,29.7,5"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE 21-29.7")},
         {"Unit=1", "SetImageLayout(0,0,21,29.7)"},
         {}},
        {"AreaKeepsFieldsAsWritten",
         [](ScanSettings& s) { s.area = " 2 1.0,29.7cm"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE  2 1.0-29.7cm")},
         {"SetImageLayout(0,0,21,29.7)"},
         {}},
        {"AreaBeyondSinglePrecisionIsClamped",
         [](ScanSettings& s) { s.area = "1e300,-1e300"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE 1e300--1e300")},
         {"SetImageLayout(0,0,3.40282e+38,-3.40282e+38)"},
         {}},
        {"AreaThenA3",
         [](ScanSettings& s) {
             s.area = "21,29.7";
             s.Pagina = "A3";
         },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO UNITA DI MISURA CM"),
          op("IMPOSTO AREA SCANSIONE 21-29.7"), op("IMPOSTO PAGINA A3")},
         {"SetImageLayout(0,0,21,29.7)", "PageSize=11"},
         {},
         {op("IMPOSTO PAGINA A3")}},
        {"A4",
         [](ScanSettings& s) { s.Pagina = "A4"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO PAGINA A4")},
         {"PageSize=1"},
         {},
         {op("IMPOSTO PAGINA A4")}},
        {"A5",
         [](ScanSettings& s) { s.Pagina = "A5"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO PAGINA A5")},
         {"PageSize=5"},
         {},
         {op("IMPOSTO PAGINA A5")}},
        {"UnknownAndLowerCasePageNames",
         [](ScanSettings& s) { s.Pagina = "a4"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"PageSize"},
         {notice("impostazione Pagina=a4 non usata: vale A3, A4 o A5")}},
        {"LetterPageIgnored",
         [](ScanSettings& s) { s.Pagina = "Letter"; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"PageSize"},
         {notice("impostazione Pagina=Letter non usata: vale A3, A4 o A5")}},
        {"ResolutionMinusOneIsSent",
         [](ScanSettings& s) { s.Risoluzione = -1; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO RISOLUZIONE -1")},
         {"Resolution=-1"},
         {}},
        {"Resolution300",
         [](ScanSettings& s) { s.Risoluzione = 300; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW"), op("IMPOSTO RISOLUZIONE 300")},
         {"Resolution=300"},
         {}},
        {"ResolutionZeroSkipped",
         [](ScanSettings& s) { s.Risoluzione = 0; },
         noDevice,
         {op("IMPOSTO SCANSIONE BW")},
         {},
         {"Resolution"}},
        {"DeviceErrorLoggedAndSequenceGoesOn",
         [](ScanSettings& s) { s.Risoluzione = 300; },
         [](FakeScanComponent& f) {
             f.errors["setImagePixelType"] = {7, "modo non valido"};
             f.errors["setResolution"] = {-12, "fuori scala"};
         },
         {op("IMPOSTO SCANSIONE BW"), "7 - modo non valido", op("IMPOSTO RISOLUZIONE 300"),
          "-12 - fuori scala"},
         {"ImagePixelType=0", "ScanOptionA=0", "Resolution=300", "DuplexSupported"},
         {}},
    };
}

class ScanLogTable : public ScanSessionTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(ScanLogTable, LogAndDeviceCalls) {
    const LogCase& c = GetParam();
    c.settings(record);
    prepare = c.device;
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
    });

    QStringList expected = head;
    expected << c.middle << sep << c.tail;
    EXPECT_EQ(logLines(), expected);

    int from = 0;
    for (const QString& s : c.sent) {
        const int at = calls.indexOf(s, from);
        EXPECT_GE(at, 0) << "missing or out of order: " << s.toStdString() << "\n"
                         << calls.join(' ').toStdString();
        if (at >= 0)
            from = at + 1;
    }
    // The page size is set again when the acquisition starts; only programming is judged.
    const QStringList programming = calls.mid(0, calls.indexOf("DuplexSupported") + 1);
    for (const QString& name : c.notSent) {
        const auto matches = [&](const QString& call) {
            return call == name || call.startsWith(name + '=') || call.startsWith(name + '(') ||
                   (name.endsWith('=') && call.startsWith(name));
        };
        EXPECT_TRUE(std::none_of(programming.begin(), programming.end(), matches))
            << name.toStdString() << " sent: " << programming.join(' ').toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Records, ScanLogTable, ::testing::ValuesIn(logCases()),
                         [](const ::testing::TestParamInfo<LogCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ScanSessionTest, DefaultRecordDeviceCallsInOrder) {
    prepare = indicators;
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
    });
    const QStringList logged{"LastErrorCode", "LastErrorText"};
    QStringList expected{"DataSourceOpen", "OpenDataSource"};
    expected << logged << logged << "TransferMode=0" << logged << "Capability=4107"
             << "CapSupported"
             << "CapContainer=1"
             << "CapValue=1"
             << "CapSet" << logged << "ImagePixelType=0" << logged << "ScanOptionA=0"
             << "ScanOptionB=0"
             << "ScanOptionC=0"
             << "DuplexSupported"
             // feeder decision: source open, not forced, no feeder
             << "DataSourceOpen"
             << "FeederPresent"
             // single-page acquisition
             << "FeederEnabled=0"
             << "FeederEnabled=0"
             << "AutoFeed=0"
             << "DuplexSupported"
             << "DuplexEnabled=0"
             << "Acquire";
    EXPECT_EQ(calls, expected);
}

TEST_F(ScanSessionTest, StaleErrorOfOpeningIsLoggedOnTheFirstTwoLines) {
    prepare = [](FakeScanComponent& f) { f.errors["OpenDataSource"] = {3, "riscaldamento"}; };
    run([&](FormScansione& form) { form.ImgButtons_Click(1); });
    const QStringList expected{sep,
                               "3 - riscaldamento",
                               op("IMPOSTO PARAMETRI SCANNER"),
                               "3 - riscaldamento",
                               op("IMPOSTO TRANSFERMODE NATIVO"),
                               op("IMPOSTO SCANSIONE BW"),
                               sep};
    EXPECT_EQ(logLines(), expected);
}

TEST_F(ScanSessionTest, AlreadyOpenSourceIsNotReprogrammed) {
    record.Risoluzione = 300;
    QStringList calls;
    run([&](FormScansione& form) {
        fake->values["DataSourceOpen"] = 1;
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
    });
    EXPECT_TRUE(logLines().isEmpty()) << logLines().join('\n').toStdString();
    EXPECT_FALSE(calls.contains("OpenDataSource"));
    EXPECT_FALSE(calls.contains("TransferMode=0"));
    EXPECT_FALSE(calls.contains("Resolution=300"));
    // The feeder decision asks the device as usual and the acquisition starts.
    EXPECT_TRUE(calls.contains("FeederPresent"));
    EXPECT_TRUE(calls.contains("Acquire"));
}

TEST_F(ScanSessionTest, SourceThatWillNotOpenStopsTheCommand) {
    prepare = [](FakeScanComponent& f) { f.values["OpenDataSource"] = 0; };
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
        EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    });
    EXPECT_TRUE(logLines().isEmpty());
    // Only the reason is asked after the failed open; a component that gives none (code 0)
    // leaves nothing to show.
    EXPECT_EQ(calls, (QStringList{"DataSourceOpen", "OpenDataSource", "LastErrorCode"}));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(ScanSessionTest, CallThatFailsOutrightStopsProgrammingButTheScanGoesOn) {
    record.Risoluzione = 300;
    prepare = [](FakeScanComponent& f) { f.throwing.insert("setImagePixelType"); };
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
    });
    // No pixel-type line, nothing after it, no closing separator.
    EXPECT_EQ(logLines(), head);
    EXPECT_FALSE(calls.contains("Resolution=300"));
    EXPECT_FALSE(calls.contains("ScanOptionA=0"));
    EXPECT_TRUE(calls.contains("FeederPresent"));
    EXPECT_TRUE(calls.contains("Acquire"));
}

struct DuplexCase {
    int32_t answer;
    bool shown;
};

class DuplexRule : public ScanSessionTest, public ::testing::WithParamInterface<DuplexCase> {};

TEST_P(DuplexRule, CheckBoxAndStoredChoice) {
    const DuplexCase c = GetParam();
    store->values["ScanFronteRetro"] = "TRUE";
    prepare = [&](FakeScanComponent& f) { f.values["DuplexSupported"] = c.answer; };
    bool hidden = false;
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        hidden = check(form, "chkFronteRetro")->isHidden();
        calls = fake->calls;
    });
    EXPECT_EQ(hidden, !c.shown);
    EXPECT_EQ(store->values.contains("ScanFronteRetro"), c.shown);
    // The programming never touches the duplex switch; the start of the acquisition does.
    const int programmingEnd = calls.indexOf("DuplexSupported");
    EXPECT_EQ(calls.mid(0, programmingEnd).filter("DuplexEnabled").size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, DuplexRule,
                         ::testing::Values(DuplexCase{1, true}, DuplexCase{0, false},
                                           DuplexCase{2, false}));

// What the settings file could not give is written once a session, after the lines of the
// first programming, or at the end of a session that never programmed the scanner.
TEST_F(ScanSessionTest, SettingsFileWarningsAreLoggedOnceASession) {
    QTemporaryDir dir;
    const QString ini = dir.filePath(QStringLiteral("scanner.ini"));
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[MAIN]\nRisoluzione=alta\n");
    file.close();
    record = ScanSettings(ini);
    record.ReadIni();
    const QString warning = notice("impostazione Risoluzione=alta non usata: serve un numero "
                                   "intero da -2147483648 a 2147483647 (resta 0)");

    run([](FormScansione&) {});
    EXPECT_EQ(logLines(), QStringList{warning});

    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        form.ImgButtons_Click(1);
    });
    const QStringList lines = logLines();
    EXPECT_EQ(lines.count(warning), 1) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.indexOf(warning), lines.indexOf(sep, 1) + 1) << lines.join('\n').toStdString();
}

} // namespace
