// The start routine of the scansione program: its two message boxes and its silent ends.
#include "host/StartRoutine.h"
#include "settings/ScanSettings.h"
#include "support/ModalAnswer.h"

#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class StartRoutineTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QStringList messages; // caption | prompt
    int sessions = 0;
    int16_t viewProgressSeen = 0;
    std::optional<QStringList> sessionResult;

    QString iniPath() const { return tmp.filePath(QStringLiteral("scanner.ini")); }
    void writeIni() {
        QFile f(iniPath());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[MAIN]\r\nFormato=PDF\r\n");
    }
    StartRoutineServices services() {
        StartRoutineServices s;
        s.messageBox = [this](const QString& prompt, const QString& caption) {
            messages << caption + QLatin1Char('|') + prompt;
        };
        s.runSession = [this](ScanSettings& settings) {
            ++sessions;
            viewProgressSeen = settings.ViewProgress;
            return sessionResult;
        };
        return s;
    }
    void runRoutine() {
        ScanSettings settings(iniPath());
        settings.ViewProgress = 0;
        runStartRoutine(settings, services());
    }
};

TEST_F(StartRoutineTest, WithoutTheIniFileOnlyTheWarningIsShown) {
    runRoutine();
    EXPECT_EQ(messages,
              QStringList{"TEST SCANNER|Attenzione file scanner.ini non presente nel sistema."});
    EXPECT_EQ(sessions, 0) << "no scan window is created";
}

TEST_F(StartRoutineTest, ASessionThatProducedNothingEndsSilently) {
    writeIni();
    for (const std::optional<QStringList>& result :
         {std::optional<QStringList>(), std::optional<QStringList>(QStringList())}) {
        sessionResult = result;
        runRoutine();
    }
    EXPECT_EQ(sessions, 2);
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

TEST_F(StartRoutineTest, TheProducedFilesAreListedOnePerLine) {
    writeIni();
    sessionResult = QStringList{"/tmp/pag_1.jpg", "/tmp/pag_2.jpg"};
    runRoutine();
    EXPECT_EQ(sessions, 1);
    EXPECT_EQ(viewProgressSeen, -1) << "the session always shows progress";
    EXPECT_EQ(messages,
              QStringList{"TEST SCANNER|Scansione effettuata. Files:\r\n/tmp/pag_1.jpg\r\n"
                          "/tmp/pag_2.jpg\r\n"});
}

TEST_F(StartRoutineTest, AFailingSessionEndsSilently) {
    writeIni();
    StartRoutineServices s = services();
    s.runSession = [](ScanSettings&) -> std::optional<QStringList> {
        throw std::runtime_error("session failed");
    };
    ScanSettings settings(iniPath());
    runStartRoutine(settings, s);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(StartRoutineTest, TheRealMessageBoxHasOnlyOkNoIconAndTheCaption) {
    QString caption, text;
    int buttons = -1;
    QMessageBox::Icon icon = QMessageBox::Warning;
    answerNextModal([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = int(box->buttons().size());
        box->button(QMessageBox::Ok)->click();
    });
    StartRoutineServices s = services();
    s.messageBox = nullptr; // the default
    ScanSettings settings(iniPath());
    runStartRoutine(settings, s);
    EXPECT_EQ(caption, QStringLiteral("TEST SCANNER"));
    EXPECT_EQ(text, QStringLiteral("Attenzione file scanner.ini non presente nel sistema."));
    EXPECT_EQ(icon, QMessageBox::NoIcon);
    EXPECT_EQ(buttons, 1);
}

// The real window and component on virtual scanners only: a session that cannot start says
// what happened, what to check and the component's reasons, once, then the program ends.
struct NotStartedCase {
    const char* name;
    QByteArray scanners;
    const char* opening;  ///< the message's first line
    const char* reason;   ///< a text of the component's in it; null: none expected
};

class StartRoutineNotStarted : public StartRoutineTest,
                               public ::testing::WithParamInterface<NotStartedCase> {};

TEST_P(StartRoutineNotStarted, SaysWhyBeforeEnding) {
    const NotStartedCase& c = GetParam();
    writeIni();
    QFile file(tmp.filePath(QStringLiteral("virtual.json")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(c.scanners);
    file.close();
    qputenv("SCANSIONE_VIRTUAL_SCANNERS", file.fileName().toLocal8Bit());
    StartRoutineServices s = services();
    s.runSession = nullptr; // the real session
    ScanSettings settings(iniPath());
    runStartRoutine(settings, s);
    qunsetenv("SCANSIONE_VIRTUAL_SCANNERS");
    ASSERT_EQ(messages.size(), 1);
    const QString& said = messages.constFirst();
    EXPECT_TRUE(said.startsWith(QStringLiteral("TEST SCANNER|") + QString::fromUtf8(c.opening) +
                                QStringLiteral("\r\nControllare")))
        << said.toStdString();
    if (c.reason)
        EXPECT_TRUE(said.contains(QString::fromUtf8(c.reason))) << said.toStdString();
    else
        EXPECT_FALSE(said.contains(QStringLiteral("Dettagli"))) << said.toStdString();
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, StartRoutineNotStarted, ::testing::Values(
    NotStartedCase{"NoScanner", R"({"scanners": []})", "Nessuno scanner trovato.", nullptr},
    NotStartedCase{"LayerFailed", R"({"scanners": [{"name": "A", "resolutions": "tante"}]})",
                   "Il sistema di acquisizione non si è avviato.", "\"resolutions\""}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST(ProducedFilesMessageTest, EndsWithALineBreak) {
    EXPECT_EQ(producedFilesMessage({"a"}), QStringLiteral("Scansione effettuata. Files:\r\na\r\n"));
}

// The default service writes to standard error, after the program's name; here it is caught
// to show that each warning is said once and the session still runs with the defaults.
TEST_F(StartRoutineTest, WhatTheSettingsFileCouldNotGiveIsSaidBeforeTheSession) {
    QFile f(iniPath());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[MAIN\r\nFormato=TIFF\r\n");
    f.close();
    QStringList warnings;
    StartRoutineServices s = services();
    s.settingsWarning = [&warnings](const QString& warning) { warnings << warning; };
    s.runSession = [&](ScanSettings& settings) {
        ++sessions;
        EXPECT_EQ(warnings.size(), 1) << "said before the session";
        EXPECT_EQ(settings.ResultFormat, QStringLiteral("PDF"));
        return std::optional<QStringList>();
    };
    ScanSettings settings(iniPath());
    runStartRoutine(settings, s);
    EXPECT_EQ(sessions, 1);
    EXPECT_EQ(warnings, QStringList{QStringLiteral("il file delle impostazioni %1 apre la "
                                                   "sezione [MAIN alla riga 1 senza chiuderla "
                                                   "con \"]\": nessuna impostazione letta, "
                                                   "valgono quelle predefinite")
                                        .arg(iniPath())});
}

} // namespace
