// The pages' text on the window's side: the languages and the clean-up the session gives the
// component, "Conferma" waiting for pages still being read behind its progress window, the
// words handed to the PDF writer, and the scan log's line for each page.
#include "support/ScanSession.h"

#include <QProgressDialog>
#include <QPushButton>

namespace {

ImageText readText(const QStringList& words, QSize pixels = QSize(20, 28)) {
    ImageText t;
    t.state = ImageText::State::Read;
    t.pixels = pixels;
    t.languages = QStringLiteral("ita");
    int x = 0;
    for (const QString& w : words) {
        OcrWord word;
        word.text = w;
        word.box = QRect(x, 2, 4, 3);
        x += 5;
        t.words.push_back(word);
    }
    return t;
}

ImageText waitingText() {
    ImageText t;
    t.state = ImageText::State::Waiting;
    return t;
}

class OutputTextTest : public ScanSessionTest {
protected:
    void SetUp() override {
        record.ResultFormat = "PDF";
        record.setOCR("1");
        prepare = [](FakeScanComponent& f) {
            // The writer is given the page image only once it exists.
            f.onSave = [](int32_t, const QString& path) {
                QFile out(path);
                ASSERT_TRUE(out.open(QIODevice::WriteOnly));
            };
        };
    }

    /// The progress window of the wait, while it is shown.
    static QProgressDialog* progressOf(FormScansione& form) {
        QProgressDialog* d =
            form.findChild<QProgressDialog*>(QStringLiteral("TextRecognitionProgress"));
        return d && d->isVisible() ? d : nullptr;
    }

    QStringList textCalls() const { return pdfCalls.filter(QStringLiteral("DrawPageText")); }
    QStringList textLog() const { return logLines().filter(QStringLiteral("OCR ")); }
};

struct StartCase {
    const char* ocr;
    const char* languages;
    const char* format;
    const char* blank;
    const char* turn;
    const char* straighten;
    const char* expected; ///< what setTextLanguages gets
    PageCleanup cleanup;
};

class SessionStart : public OutputTextTest, public ::testing::WithParamInterface<StartCase> {};

// Only "1" turns a service on, and only a PDF is read; the default language is Italian.
TEST_P(SessionStart, ComponentIsToldTheLanguagesAndTheCleanUp) {
    const StartCase c = GetParam();
    record.setOCR(c.ocr);
    record.setLinguaOCR(c.languages);
    record.ResultFormat = c.format;
    record.setPagineBianche(c.blank);
    record.setRuotaAutomatica(c.turn);
    record.setRaddrizza(c.straighten);
    QStringList languages;
    QVector<PageCleanup> cleanups;
    run([&](FormScansione&) {
        languages = fake->textLanguages;
        cleanups = fake->cleanups;
    });
    EXPECT_EQ(languages, QStringList{c.expected});
    ASSERT_EQ(cleanups.size(), 1);
    EXPECT_EQ(cleanups[0].leaveOutBlankSides, c.cleanup.leaveOutBlankSides);
    EXPECT_EQ(cleanups[0].turnUpsideDown, c.cleanup.turnUpsideDown);
    EXPECT_EQ(cleanups[0].straighten, c.cleanup.straighten);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SessionStart,
    ::testing::Values(StartCase{"1", "", "PDF", "", "", "", "ita", {}},
                      StartCase{
                          "1", "ita+eng", "PDF", "1", "0", "", "ita+eng", {true, false, false}},
                      StartCase{"1", "", "TIFF", "0", "1", "1", "", {false, true, true}},
                      StartCase{"1", "", "JPEG", "", "", "", "", {}},
                      StartCase{"0", "ita", "PDF", "si", "yes", "1", "", {false, false, true}},
                      StartCase{"", "", "PDF", "", "", "", "", {}}));

// Page 2 is still being read at "Conferma": it is asked for first, the progress window says
// which page the document waits for, and once its words come every page gets its own.
TEST_F(OutputTextTest, ConfermaWaitsForAPageStillReadAndWritesEveryPagesWords) {
    QString label;
    bool wasVisible = false;
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        fake->texts[0] = readText({"Società", "cooperativa"});
        fake->texts[1] = waitingText();
        fake->texts[2] = readText({"Modena"}, QSize(40, 56));
        QTimer::singleShot(50, &form, [&] {
            if (QProgressDialog* d = progressOf(form)) {
                label = d->labelText();
                wasVisible = true;
            }
            // The window goes on painting while it waits.
            form.repaint();
            fake->textRead(1, readText({"l'assemblea", "ordinaria", "si", "terrà"}));
        });
        form.ImgButtons_Click(FormScansione::cmdConferma);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(fake->readFirst, QVector<int32_t>{1});
    });
    EXPECT_TRUE(wasVisible);
    EXPECT_EQ(label, "Riconoscimento del testo: pagina 2 di 3");
    ASSERT_TRUE(out.files);
    EXPECT_EQ(textCalls(),
              (QStringList{"DrawPageText(Società cooperativa,20x28,0,297,210,297)",
                           "DrawPageText(l'assemblea ordinaria si terrà,20x28,0,297,210,297)",
                           "DrawPageText(Modena,40x56,0,297,210,297)"}));
    // Each page's words are drawn on that page, after its image.
    EXPECT_TRUE(inOrder(pdfCalls, {"AddPage(210,297)", "DrawImage(101,0,297,210,297)",
                                   textCalls()[0], "EndPage()", "AddPage(210,297)",
                                   "DrawImage(102,0,297,210,297)", textCalls()[1]}));
    EXPECT_EQ(textLog(), (QStringList{"OPERAZIONE OCR ita pagina 1: 2 parole",
                                      "OPERAZIONE OCR ita pagina 2: 4 parole",
                                      "OPERAZIONE OCR ita pagina 3: 1 parola"}));
}

// The progress window's button: the pages still waiting are written without text, at once,
// and the log says so for each; a page already read keeps its words.
TEST_F(OutputTextTest, ButtonWritesTheRestWithoutText) {
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        fake->texts[0] = waitingText();
        fake->texts[1] = waitingText();
        fake->texts[2] = readText({"Modena"});
        QTimer::singleShot(50, &form, [&] {
            QProgressDialog* d = progressOf(form);
            ASSERT_TRUE(d);
            QPushButton* button = d->findChild<QPushButton*>();
            ASSERT_TRUE(button);
            EXPECT_EQ(button->text(), "Salva senza testo");
            click(button);
        });
        form.ImgButtons_Click(FormScansione::cmdConferma);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(fake->readFirst, QVector<int32_t>{0}); // page 2 was never waited for
    });
    ASSERT_TRUE(out.files);
    EXPECT_EQ(pdfCalls.filter("AddPage").size(), 3);
    EXPECT_EQ(textCalls(), QStringList{"DrawPageText(Modena,20x28,0,297,210,297)"});
    EXPECT_EQ(textLog(),
              (QStringList{"OPERAZIONE OCR ita pagina 1: scritta senza testo, riconoscimento "
                           "non atteso",
                           "OPERAZIONE OCR ita pagina 2: scritta senza testo, riconoscimento "
                           "non atteso",
                           "OPERAZIONE OCR ita pagina 3: 1 parola"}));
}

// A page whose text failed (a language not installed, a worker that died) is written without
// text; the log keeps the component's reason, and the host is told it as an error.
TEST_F(OutputTextTest, FailedPageIsWrittenWithoutTextAndItsErrorLogged) {
    record.setLinguaOCR("deu");
    QStringList errors;
    logHook = [&](const QString& operation, int32_t code, const QString& detail) {
        if (code != 0)
            errors << operation + " | " + detail;
    };
    ImageText failed;
    failed.state = ImageText::State::Failed;
    failed.languages = "deu";
    failed.error = "lingua deu non installata: installare il pacchetto tesseract-ocr-deu";
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        fake->texts[0] = readText({"Bank"});
        fake->texts[0].languages = "deu";
        fake->texts[1] = waitingText();
        // Words whose image size the component left out cannot be placed.
        fake->texts[2] = readText({"Zeit"}, QSize());
        fake->texts[2].languages = "deu";
        // The component answers as soon as it is asked.
        fake->onReadFirst = [&](int32_t index) { fake->textRead(index, failed); };
        form.ImgButtons_Click(FormScansione::cmdConferma);
        EXPECT_EQ(progressOf(form), nullptr);
    });
    ASSERT_TRUE(out.files);
    EXPECT_EQ(textCalls(), QStringList{"DrawPageText(Bank,20x28,0,297,210,297)"});
    EXPECT_EQ(textLog(), (QStringList{"OPERAZIONE OCR deu pagina 1: 1 parola",
                                      "OPERAZIONE OCR deu pagina 2: scritta senza testo",
                                      "OPERAZIONE OCR deu pagina 3: scritta senza testo"}));
    EXPECT_TRUE(logLines().contains(QStringLiteral("-1 - ") + failed.error));
    EXPECT_EQ(errors, (QStringList{"OCR deu pagina 2: scritta senza testo | " + failed.error,
                                   "OCR deu pagina 3: scritta senza testo | parole senza le "
                                   "dimensioni dell'immagine"}));
}

// A component that throws when asked for the text costs the pages their text, not the
// document.
TEST_F(OutputTextTest, ComponentThatCannotAnswerCostsOnlyTheText) {
    const Outcome out = run([&](FormScansione& form) {
        scanPages(form, 2);
        fake->throwing << "imageText";
        form.ImgButtons_Click(FormScansione::cmdConferma);
    });
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{folder() + "scandoc.pdf"});
    EXPECT_TRUE(textCalls().isEmpty());
    EXPECT_EQ(textLog(), (QStringList{"OPERAZIONE OCR ita pagina 1: scritta senza testo",
                                      "OPERAZIONE OCR ita pagina 2: scritta senza testo"}));
    EXPECT_EQ(logLines().count("-1 - il componente non ha letto la pagina"), 2);
}

// What the component did to a page on its own goes into the log as it says it; the page text
// lines come after the lines the log already had.
TEST_F(OutputTextTest, PagesCleanedAreLoggedAndPageLinesComeLast) {
    record.setPagineBianche("1");
    run([&](FormScansione& form) {
        form.ImgButtons_Click(FormScansione::cmdScansione);
        Q_EMIT fake->PageCleaned("pagina bianca", "foglio 1 retro");
        deliverPages(1);
        fake->texts[0] = readText({"Società"});
        form.ImgButtons_Click(FormScansione::cmdConferma);
    });
    const QStringList lines = logLines();
    const qsizetype cleaned = lines.indexOf("OPERAZIONE pagina bianca foglio 1 retro");
    ASSERT_GE(cleaned, 0) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.last(), "OPERAZIONE OCR ita pagina 1: 1 parola");
}

} // namespace
