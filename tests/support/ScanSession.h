#pragma once
// One scan session of the real scan window, run through EseguiScansione with a body that
// drives it from inside its modal loop. The component is the scripted fake unless a test
// supplies its own (the real component on a virtual or SANE scanner); every outside service
// is in memory or recorded: the per-user store, message boxes, the PDF import's file dialog,
// the information window and the PDF writer.
#include "acquisition/ComponentDialogs.h"
#include "writers/PdfWriter.h"
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "scan_window/ImageButton.h"
#include "settings/ScanSettings.h"
#include "support/FakeScanComponent.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <ostream>

#ifndef SCAN_FIXTURE_HAS_PRINTTO // another support header may bring its own
/// QString in test failures as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
#endif

/// The window's private routines that tests reach without a button.
struct FormScansioneTestAccess {
    static PageStore& pages(FormScansione& f) { return f.Pagine; }
    static void scriviLog(FormScansione& f, const QString& op, int32_t code, const QString& d) {
        f.ScriviLog(op, code, d);
    }
    static int32_t zoomX(const FormScansione& f) { return f.PassoZoomX; }
    static int32_t zoomY(const FormScansione& f) { return f.PassoZoomY; }
};

/// The per-user store in memory; `failWrites` makes every write throw.
class MemorySettings : public UserSettings {
public:
    QHash<QString, QString> values;
    int writes = 0;
    bool failWrites = false;
    QString read(const QString& key, const QString& defaultValue) const override {
        return values.value(key, defaultValue);
    }
    void write(const QString& key, const QString& value) override {
        ++writes;
        if (failWrites)
            throw std::runtime_error("settings store not writable");
        values[key] = value;
    }
    void remove(const QString& key) override { values.remove(key); }
};

/// Records the writer's calls in order; the real work is not done.
class RecordingPdfWriter : public PdfWriter {
public:
    explicit RecordingPdfWriter(QStringList& log) : m_log(log) {}
    void setOutputPath(const QString& path) override { m_log << "OutputPath=" + path; }
    void setDocumentMode(int32_t mode) override {
        m_log << QStringLiteral("DocumentMode=%1").arg(mode);
    }
    void BeginDocument(const QString& info) override { m_log << "BeginDocument(" + info + ")"; }
    int32_t AddPage(double w, double h) override {
        m_log << QStringLiteral("AddPage(%1,%2)").arg(w).arg(h);
        return ++m_pages;
    }
    int32_t AddImageFile(const QString& path) override {
        // The bitmap must exist while its page is built.
        m_log << QStringLiteral("AddImageFile(%1)%2")
                     .arg(path, QFile::exists(path) ? "" : " missing");
        return 100 + m_pages;
    }
    void DrawImage(int32_t id, double x, double y, double w, double h) override {
        m_log << QStringLiteral("DrawImage(%1,%2,%3,%4,%5)").arg(id).arg(x).arg(y).arg(w).arg(h);
    }
    void EndPage(const QString& info) override { m_log << "EndPage(" + info + ")"; }
    void DrawPageText(const OcrWords& words, QSize pixels, double x, double y, double w,
                      double h) override {
        QStringList texts;
        for (const OcrWord& word : words)
            texts << word.text;
        m_log << QStringLiteral("DrawPageText(%1,%2x%3,%4,%5,%6,%7)")
                     .arg(texts.join(QLatin1Char(' ')))
                     .arg(pixels.width())
                     .arg(pixels.height())
                     .arg(x)
                     .arg(y)
                     .arg(w)
                     .arg(h);
    }
    int32_t EndDocument() override {
        m_log << QStringLiteral("EndDocument");
        return 1;
    }

private:
    QStringList& m_log;
    int32_t m_pages = 0;
};

class ScanSessionTest : public ::testing::Test {
protected:
    using ComponentFactory =
        std::function<std::unique_ptr<ScanComponent>(std::shared_ptr<ComponentDialogs>)>;

    QTemporaryDir tmp;
    std::shared_ptr<MemorySettings> store = std::make_shared<MemorySettings>();
    ScanSettings record{QStringLiteral("/nonexistent/scanner.ini")};
    /// Applied to every fake the window creates, before the session uses it.
    std::function<void(FakeScanComponent&)> prepare;
    /// When set, the component the window creates instead of the fake.
    ComponentFactory component;
    FakeScanComponent* fake = nullptr; ///< owned by the window; valid inside the body only
    QStringList calls;                 ///< every recorded call of the fakes of the test
    QStringList messages;              ///< caption | prompt of every message box
    QStringList infoShown;             ///< reports handed to the information window
    QStringList pdfCalls;              ///< the recording PDF writer's calls
    /// Told of every scan log operation, as a host's logWritten is.
    std::function<void(const QString&, int32_t, const QString&)> logHook;
    /// Replaces the recording writer (end-to-end tests use the real one).
    std::function<std::unique_ptr<PdfWriter>(int32_t)> pdfWriter;
    /// The answer of the PDF import's file dialog, and the folders it was opened in.
    std::optional<QString> pdfChoice;
    QStringList pdfDialogFolders;
    /// The answer to every yes/no question (nullopt: closed unanswered), and the questions.
    std::optional<bool> answer;
    QStringList questions;
    std::optional<SafeAnswer> lastSafeAnswer; ///< the default button of the latest question
    /// The fixture is closing the window after the body: "Annulla" is meant, pages or not.
    bool closing = false;
    /// The real file dialog instead (tests of the dialog itself).
    bool realFileDialog = false;
    /// When set, the working folder the window is given from then on.
    QString folderOverride;
    int componentsCreated = 0;

    QString folder() const { return tmp.path() + QLatin1Char('/'); }

    WindowServices services() {
        WindowServices s;
        s.createComponent = [this](std::shared_ptr<ComponentDialogs> dialogs) {
            ++componentsCreated;
            if (component)
                return component(std::move(dialogs));
            auto c = std::make_unique<FakeScanComponent>();
            fake = c.get();
            c->onCall = [this](const QString& call) { calls << call; };
            if (prepare)
                prepare(*c);
            return std::unique_ptr<ScanComponent>(std::move(c));
        };
        s.userSettings = store;
        s.messageBox = [this](QWidget*, const QString& prompt, const QString& caption) {
            messages << caption + QLatin1Char('|') + prompt;
        };
        s.askYesNo = [this](QWidget*, const QString& question, const QString& caption,
                            SafeAnswer keeps) {
            if (closing)
                return std::optional<bool>(true);
            questions << caption + QLatin1Char('|') + question;
            lastSafeAnswer = keeps;
            return answer;
        };
        if (!realFileDialog) {
            s.choosePdf = [this](QWidget*, const QString& folder) {
                pdfDialogFolders << folder;
                return pdfChoice;
            };
        }
        s.createPdfWriter = [this](int32_t quality) -> std::unique_ptr<PdfWriter> {
            if (pdfWriter)
                return pdfWriter(quality);
            return std::make_unique<RecordingPdfWriter>(pdfCalls);
        };
        s.showInfo = [this](const QString& info) { infoShown << info; };
        s.logWritten = [this](const QString& operation, int32_t code, const QString& detail) {
            if (logHook)
                logHook(operation, code, detail);
        };
        s.workingFolder = [this] { return folderOverride.isEmpty() ? folder() : folderOverride; };
        return s;
    }

    struct Outcome {
        std::optional<QStringList> files;
        QString code;
        int16_t openDoc = 7; // neither True nor False: shows whether it was written
        bool bodyRan = false;
    };

    /// Runs one session on `form`; `body` runs inside the shown window. A window still
    /// open after the body is closed with "Annulla".
    Outcome runOn(FormScansione& form, const std::function<void(FormScansione&)>& body,
                  ScanSettings* settings) {
        Outcome out;
        auto connection = QObject::connect(&form, &FormScansione::sessionShown, &form, [&] {
            QTimer::singleShot(0, &form, [&] {
                out.bodyRan = true;
                body(form);
                if (form.isVisible()) {
                    closing = true;
                    form.ImgButtons_Click(FormScansione::cmdAnnulla);
                    closing = false;
                }
            });
        });
        out.files = form.EseguiScansione(settings, out.code, out.openDoc);
        QObject::disconnect(connection);
        fake = nullptr;
        return out;
    }

    Outcome run(const std::function<void(FormScansione&)>& body) {
        FormScansione form(services());
        return runOn(form, body, &record);
    }

    /// Presses "Scansione documento" and waits for the acquisition's end event.
    static bool scan(FormScansione& form, int timeoutMs = 30000) {
        bool ended = false;
        auto connection = QObject::connect(form.component(), &ScanComponent::PostScan, &form,
                                           [&](int32_t flag) { ended = ended || flag != 0; });
        form.ImgButtons_Click(FormScansione::cmdScansione);
        const bool ok = QTest::qWaitFor([&] { return ended; }, timeoutMs);
        QObject::disconnect(connection);
        return ok;
    }

    /// Delivers `n` images from the fake (the source stays open between them) and, when
    /// `end`, the end event with the given error.
    void deliverPages(int n, bool end = true, int32_t code = 0, const QString& text = {}) {
        for (int i = 0; i < n; ++i)
            fake->deliver(pageImage(fake->images.size()));
        if (end)
            fake->finish(code, text);
    }

    /// Scans `n` single pages on the fake: each a press of "Scansione documento", then one
    /// image and the end of the acquisition.
    void scanPages(FormScansione& form, int n) {
        for (int i = 0; i < n; ++i) {
            form.ImgButtons_Click(FormScansione::cmdScansione);
            deliverPages(1);
        }
    }

    /// Puts `n` images into the fake's buffer and files them as pages 1 to n.
    void addPages(FormScansione& form, int n) {
        for (int i = 0; i < n; ++i) {
            const int k = int(fake->images.size());
            fake->images << pageImage(k);
            FormScansioneTestAccess::pages(form).storePage(
                FormScansioneTestAccess::pages(form).count() + 1, k);
        }
    }

    /// Shows page `n` by clicking "Avanti" n times, starting from no page shown.
    static void showPage(FormScansione& form, int n) {
        for (int i = 0; i < n; ++i)
            click(button(form, FormScansione::cmdAvanti));
    }

    /// A small image whose upper half's colour tells which buffer index it is; the lower
    /// half is black, so a page turned upside down shows black at the top.
    static QImage pageImage(int index) {
        QImage img(20, 28, QImage::Format_RGB32);
        img.fill(Qt::black);
        for (int y = 0; y < img.height() / 2; ++y)
            for (int x = 0; x < img.width(); ++x)
                img.setPixelColor(x, y, colourOf(index));
        return img;
    }
    static QColor colourOf(int index) {
        return QColor(QColor::fromHsv((index * 53) % 360, 220, 210).rgb());
    }

    static ImageButton* button(FormScansione& form, int index) {
        return form.findChild<ImageButton*>(QStringLiteral("ImgButtons_%1").arg(index));
    }
    static QLabel* caption(FormScansione& form, int index) {
        return form.findChild<QLabel*>(QStringLiteral("LblButtons_%1").arg(index));
    }
    static QCheckBox* check(FormScansione& form, const char* name) {
        return form.findChild<QCheckBox*>(QString::fromLatin1(name));
    }
    static QLabel* view(FormScansione& form) {
        return form.findChild<QLabel*>(QStringLiteral("ImgPreview"));
    }
    static void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }

    /// The colour in the middle of the picture the view holds; invalid when it holds none.
    static QColor shownColour(FormScansione& form) {
        const QPixmap pm = view(form)->pixmap();
        if (pm.isNull())
            return QColor();
        const QImage img = pm.toImage();
        return QColor(img.pixel(img.width() / 2, img.height() / 4));
    }

    /// "PAG_1=I0,PAG_2=I1,..." for the pages of the store.
    static QString pageMap(const FormScansione& form) {
        QStringList out;
        for (int n = 1; n <= form.pages().count(); ++n)
            out << PageStore::keyOf(n) + QLatin1Char('=') +
                       form.pages().item(PageStore::keyOf(n)).value_or(QStringLiteral("?"));
        return out.join(QLatin1Char(','));
    }

    /// True when `expected` occurs in `actual` in this order (other calls may lie between).
    static bool inOrder(const QStringList& actual, const QStringList& expected) {
        qsizetype at = 0;
        for (const QString& e : expected) {
            at = actual.indexOf(e, at);
            if (at < 0)
                return false;
            ++at;
        }
        return true;
    }

    /// What a document output left behind in `dir`: hidden temporary names and the PDF route's
    /// temporary page files.
    static QStringList leftovers(const QString& dir) {
        QStringList out;
        for (const QString& name : QDir(dir).entryList(QDir::AllEntries | QDir::Hidden |
                                                       QDir::System | QDir::NoDotAndDotDot))
            if (name.startsWith(QLatin1Char('.')) || name.endsWith(QLatin1String(".bmp")) ||
                name.endsWith(QLatin1String(".pdfimg")))
                out << name;
        return out;
    }

    /// The scan log, one entry per line.
    QStringList logLines() const {
        QFile f(folder() + QStringLiteral("Scanlog.log"));
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QString text = QString::fromLatin1(f.readAll());
        if (text.endsWith(QLatin1String("\r\n")))
            text.chop(2);
        return text.isEmpty() ? QStringList() : text.split(QStringLiteral("\r\n"));
    }
};
