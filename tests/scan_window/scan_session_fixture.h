#pragma once
// A scan session on the fake component: the real window, run through EseguiScansione, with
// a body that drives it from inside its modal loop. Settings, messages and the PDF writer are
// in memory or recorded.
#include "acquisition/PdfWriter.h"
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"
#include "support/FakeScanComponent.h"

#include <QCheckBox>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

#ifndef SCAN_FIXTURE_HAS_PRINTTO // another support header may bring its own
/// QString in test failures as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
#endif

/// The per-user store in memory.
class MemorySettings : public UserSettings {
public:
    QHash<QString, QString> values;
    QString read(const QString& key, const QString& defaultValue) const override {
        return values.value(key, defaultValue);
    }
    void write(const QString& key, const QString& value) override { values[key] = value; }
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
    QTemporaryDir tmp;
    std::shared_ptr<MemorySettings> store = std::make_shared<MemorySettings>();
    ScanSettings record{QStringLiteral("/nonexistent/scanner.ini")};
    /// Applied to every fake the window creates, before the session uses it.
    std::function<void(FakeScanComponent&)> prepare;
    FakeScanComponent* fake = nullptr; ///< owned by the window; valid inside the body only
    QStringList messages;              ///< caption | prompt of every message box
    QStringList pdfCalls;
    /// Replaces the recording writer (end-to-end tests use the real one).
    std::function<std::unique_ptr<PdfWriter>(int32_t)> pdfWriter;

    /// When set, the working folder the window is given from then on.
    QString folderOverride;

    QString folder() const { return tmp.path() + QLatin1Char('/'); }

    WindowServices services() {
        WindowServices s;
        s.createComponent = [this]() -> std::unique_ptr<ScanComponent> {
            auto c = std::make_unique<FakeScanComponent>();
            fake = c.get();
            if (prepare)
                prepare(*c);
            return c;
        };
        s.userSettings = store;
        s.messageBox = [this](QWidget*, const QString& prompt, const QString& caption) {
            messages << caption + QLatin1Char('|') + prompt;
        };
        s.createPdfWriter = [this](int32_t quality) -> std::unique_ptr<PdfWriter> {
            if (pdfWriter)
                return pdfWriter(quality);
            return std::make_unique<RecordingPdfWriter>(pdfCalls);
        };
        s.showInfo = [](const QString&) {};
        s.workingFolder = [this] { return folderOverride.isEmpty() ? folder() : folderOverride; };
        s.fillDefaults();
        return s;
    }

    struct Outcome {
        std::optional<QStringList> files;
        QString code;
        bool bodyRan = false;
    };

    /// Runs one session; `body` runs inside the shown window. A window still open after the
    /// body is cancelled ("Annulla").
    Outcome run(const std::function<void(FormScansione&)>& body) {
        Outcome out;
        FormScansione form(services());
        QObject::connect(&form, &FormScansione::sessionShown, &form, [&] {
            QTimer::singleShot(0, &form, [&] {
                out.bodyRan = true;
                body(form);
                if (form.isVisible())
                    form.ImgButtons_Click(6);
            });
        });
        int16_t openDoc = 0;
        out.files = form.EseguiScansione(&record, out.code, openDoc);
        fake = nullptr;
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

    /// Delivers `n` images (the source stays open between them) and, when `end`, the end
    /// event with the given error.
    void deliverPages(int n, bool end = true, int32_t code = 0, const QString& text = {}) {
        for (int i = 0; i < n; ++i)
            fake->deliver(pageImage(fake->images.size()));
        if (end)
            fake->finish(code, text);
    }

    static QImage pageImage(int index) {
        QImage img(40, 56, QImage::Format_RGB32);
        img.fill(QColor::fromHsv((index * 37) % 360, 200, 200));
        return img;
    }

    static QCheckBox* box(FormScansione& form, const char* name) {
        return form.findChild<QCheckBox*>(QString::fromLatin1(name));
    }

    /// "PAG_1=I0,PAG_2=I1,..." for the pages of the store.
    static QString pageMap(const FormScansione& form) {
        QStringList out;
        for (int n = 1; n <= form.pages().count(); ++n)
            out << PageStore::keyOf(n) + QLatin1Char('=') +
                       form.pages().item(PageStore::keyOf(n)).value_or(QStringLiteral("?"));
        return out.join(QLatin1Char(','));
    }
};
