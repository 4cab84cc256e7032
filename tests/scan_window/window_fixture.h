#pragma once
// The real scan window on the fake component, driven from inside its modal loop. The
// component's calls are copied into `calls`, which outlives the component the session
// releases; the per-user store is in memory.
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "scan_window/ImageButton.h"
#include "settings/ScanSettings.h"
#include "support/FakeScanComponent.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>

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
class WindowMemorySettings : public UserSettings {
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

class WindowTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    std::shared_ptr<WindowMemorySettings> store = std::make_shared<WindowMemorySettings>();
    ScanSettings record{QStringLiteral("/nonexistent/scanner.ini")};
    /// Applied to every fake the window creates.
    std::function<void(FakeScanComponent&)> prepare;
    FakeScanComponent* fake = nullptr; ///< owned by the window; valid inside the body only
    QStringList calls;                 ///< every recorded component call of the test
    QStringList messages;              ///< caption | prompt of every message box
    QStringList infoShown;             ///< reports handed to the information window
    int componentsCreated = 0;

    QString folder() const { return tmp.path() + QLatin1Char('/'); }

    WindowServices services() {
        WindowServices s;
        s.createComponent = [this]() -> std::unique_ptr<ScanComponent> {
            auto c = std::make_unique<FakeScanComponent>();
            ++componentsCreated;
            fake = c.get();
            c->onCall = [this](const QString& call) { calls << call; };
            if (prepare)
                prepare(*c);
            return c;
        };
        s.userSettings = store;
        s.messageBox = [this](QWidget*, const QString& prompt, const QString& caption) {
            messages << caption + QLatin1Char('|') + prompt;
        };
        s.showInfo = [this](const QString& info) { infoShown << info; };
        s.workingFolder = [this] { return folder(); };
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
                if (form.isVisible())
                    form.ImgButtons_Click(6);
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

    /// Puts `n` images into the fake's buffer and files them as pages 1 to n.
    void addPages(FormScansione& form, int n) {
        for (int i = 0; i < n; ++i) {
            const int k = int(fake->images.size());
            fake->images << pageImage(k);
            FormScansioneTestAccess::pages(form).storePage(
                FormScansioneTestAccess::pages(form).count() + 1, k);
        }
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
    static QString pageMap(FormScansione& form) {
        PageStore& pages = FormScansioneTestAccess::pages(form);
        QStringList out;
        for (int n = 1; n <= pages.count(); ++n)
            out << PageStore::keyOf(n) + QLatin1Char('=') +
                       pages.item(PageStore::keyOf(n)).value_or(QStringLiteral("?"));
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
