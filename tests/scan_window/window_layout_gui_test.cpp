// The window's controls against the design tables: place, container, caption, visibility,
// colours and fonts, and what the set-up changes.
#include "window_fixture.h"

#include <QGroupBox>
#include <cmath>

namespace {

struct Place {
    const char* name;
    const char* container;
    int left, top, width, height; // twips
    const char* caption;          // nullptr: not checked (images, containers)
    bool visible;                 // after the set-up, with two scanners installed
};

// clang-format off
const Place places[] = {
    {"PicImage",        "FormScansione", 120,  0,    4820, 6600, nullptr, true},
    {"Picture1",        "FormScansione", 120,  6720, 4815, 735,  nullptr, true},
    {"PctButtons",      "FormScansione", 4995, 0,    2295, 7455, nullptr, true},
    {"FrameImpPDF",     "PctButtons",    1350, 5265, 735,  1005, nullptr, true},
    {"LabelPicPDF",     "FrameImpPDF",   45,   585,  690,  375,  "Importa PDF", true},
    {"ImgButtons_0",    "PctButtons",    1560, 120,  390,  390,  nullptr, true},
    {"ImgButtons_1",    "PctButtons",    360,  120,  390,  390,  nullptr, true},
    {"ImgButtons_2",    "Picture1",      4200, 0,    390,  390,  nullptr, true},
    {"ImgButtons_3",    "Picture1",      240,  0,    390,  390,  nullptr, true},
    {"ImgButtons_4",    "PctButtons",    360,  1920, 390,  390,  nullptr, true},
    {"ImgButtons_5",    "PctButtons",    360,  3120, 390,  390,  nullptr, true},
    {"ImgButtons_6",    "PctButtons",    1560, 1080, 390,  390,  nullptr, true},
    {"ImgButtons_7",    "FrameImpPDF",   135,  135,  390,  390,  nullptr, true},
    {"ImgButtons_9",    "Picture1",      1680, 120,  255,  255,  nullptr, true},
    {"ImgButtons_10",   "Picture1",      2640, 120,  255,  255,  nullptr, true},
    {"ImgButtons_11",   "PctButtons",    360,  1080, 390,  390,  nullptr, true},
    {"ImgButtons_12",   "PctButtons",    1560, 6480, 390,  390,  nullptr, true},
    {"ImgButtons_13",   "PctButtons",    360,  6480, 390,  390,  nullptr, false},
    {"LblButtons_0",    "PctButtons",    1200, 600,  1110, 180,  "Conferma", true},
    {"LblButtons_1",    "PctButtons",    0,    600,  1110, 420,  "Scansione documento", true},
    {"LblButtons_2",    "Picture1",      3960, 480,  750,  180,  "Avanti", true},
    {"LblButtons_3",    "Picture1",      -120, 480,  1110, 180,  "Indietro", true},
    {"LblButtons_4",    "PctButtons",    0,    2400, 1110, 360,  "Sostituisci pagina", true},
    {"LblButtons_5",    "PctButtons",    120,  3600, 945,  360,  "Elimina pagina", true},
    {"LblButtons_6",    "PctButtons",    1200, 1560, 1110, 180,  "Annulla", true},
    {"LblButtons_7",    "Picture1",      1920, 120,  735,  180,  "Zoom", true},
    {"LblButtons_11",   "PctButtons",    0,    1560, 1110, 180,  "Ruota", true},
    {"LblButtons_12",   "PctButtons",    1320, 6960, 945,  420,  "Scanners disponibili", true},
    {"LblButtons_13",   "PctButtons",    120,  6960, 945,  420,  "Scanners disponibili", false},
    {"CheckVisualizza", "PctButtons",    135,  4680, 780,  645,  "Apri Doc", true},
    {"chkFronteRetro",  "PctButtons",    120,  5400, 975,  375,  "Fronte retro", true},
    {"chkADF",          "PctButtons",    120,  5880, 975,  375,  "Forza ADF", true},
    {"lblPOS_0",        "PctButtons",    120,  120,  405,  300,  "POS", false},
    {"lblPOS_1",        "PctButtons",    120,  600,  405,  300,  "POS", false},
    {"lblPOS_2",        "PctButtons",    120,  1080, 405,  300,  "POS", false},
    {"lblPOS_3",        "PctButtons",    240,  1560, 405,  300,  "POS", false},
    {"lblPOS_4",        "PctButtons",    120,  1920, 405,  300,  "POS", false},
    {"lblPOS_5",        "PctButtons",    120,  2400, 405,  300,  "POS", false},
    {"lblPOS_6",        "PctButtons",    120,  3120, 405,  300,  "POS", false},
    {"lblPOS_7",        "PctButtons",    120,  3600, 405,  300,  "POS", false},
};
// clang-format on

int px(int twips) {
    return int(std::lround(twips / 15.0));
}

QString textOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* box = qobject_cast<QCheckBox*>(w))
        return box->text();
    return QString();
}

class WindowLayoutTest : public WindowTest {
protected:
    void SetUp() override {
        prepare = [](FakeScanComponent& c) {
            c.sourceNames = {QStringLiteral("Piano A4"),
                             QStringLiteral("Alimentatore fronte retro")};
            c.values["SourceIndex"] = 1;
        };
        store->values[QStringLiteral("DefaultSource")] = QStringLiteral("1");
    }
};

TEST_F(WindowLayoutTest, EveryControlStandsWhereTheDesignPutsIt) {
    const Outcome out = run([](FormScansione& form) {
        EXPECT_EQ(form.size(), QSize(px(7395), px(7515)));
        EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window has a fixed size";
        for (const Place& p : places) {
            SCOPED_TRACE(p.name);
            auto* w = form.findChild<QWidget*>(QString::fromLatin1(p.name));
            ASSERT_NE(w, nullptr);
            ASSERT_NE(w->parentWidget(), nullptr);
            const QString parent = w->parentWidget() == &form ? QStringLiteral("FormScansione")
                                                              : w->parentWidget()->objectName();
            EXPECT_EQ(parent, QString::fromLatin1(p.container));
            EXPECT_EQ(w->geometry(), QRect(px(p.left), px(p.top), px(p.width), px(p.height)));
            if (p.caption) {
                EXPECT_EQ(textOf(w), QString::fromUtf8(p.caption));
            }
            EXPECT_EQ(w->isVisible(), p.visible);
        }
        // No control at index 8, no caption labels for the zoom buttons.
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("ImgButtons_8")), nullptr);
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("LblButtons_9")), nullptr);
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("LblButtons_10")), nullptr);
    });
    EXPECT_TRUE(out.bodyRan);
}

TEST_F(WindowLayoutTest, ThePageViewIsFittedToItsFrameWhenShown) {
    run([](FormScansione& form) {
        QWidget* frame = form.findChild<QWidget*>(QStringLiteral("PicImage"));
        EXPECT_EQ(view(form)->parentWidget(), frame);
        EXPECT_EQ(view(form)->geometry(), QRect(0, 0, px(4820), px(6600)));
        EXPECT_EQ(FormScansioneTestAccess::zoomX(form), 964);
        EXPECT_EQ(FormScansioneTestAccess::zoomY(form), 1320);
    });
}

TEST_F(WindowLayoutTest, ColoursFontsIconsAndPointer) {
    run([](FormScansione& form) {
        const QColor panel(228, 231, 237);
        const QColor text(26, 57, 115);
        for (const char* name : {"Picture1", "PctButtons"}) {
            auto* w = form.findChild<QWidget*>(QString::fromLatin1(name));
            EXPECT_TRUE(w->autoFillBackground()) << name;
            EXPECT_EQ(w->palette().color(QPalette::Window), panel) << name;
        }
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 11, 12}) {
            QLabel* l = caption(form, i);
            SCOPED_TRACE(i);
            EXPECT_EQ(l->palette().color(QPalette::WindowText), text);
            EXPECT_TRUE(l->font().bold());
            EXPECT_DOUBLE_EQ(l->font().pointSizeF(), 6.75);
            EXPECT_EQ(l->font().family(), QStringLiteral("Verdana"));
        }
        for (const char* name : {"CheckVisualizza", "chkFronteRetro", "chkADF"}) {
            QCheckBox* box = check(form, name);
            EXPECT_EQ(box->palette().color(QPalette::WindowText), text) << name;
            EXPECT_EQ(box->palette().color(QPalette::Window), panel) << name;
            EXPECT_DOUBLE_EQ(box->font().pointSizeF(), 8.25) << name;
            EXPECT_TRUE(box->font().bold()) << name;
            EXPECT_FALSE(box->isChecked()) << name;
        }
        EXPECT_EQ(check(form, "chkFronteRetro")->toolTip(),
                  QStringLiteral("Se disponibile sullo scanner"));
        EXPECT_TRUE(check(form, "chkADF")->toolTip().isEmpty());
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13}) {
            ImageButton* b = button(form, i);
            SCOPED_TRACE(i);
            const int iconPixels = (i == 9 || i == 10) ? 9 : 26;
            EXPECT_EQ(b->pixmap().size(), QSize(iconPixels, iconPixels));
            EXPECT_TRUE(b->hasScaledContents());
            EXPECT_EQ(b->cursor().shape(), Qt::PointingHandCursor);
        }
    });
}

TEST_F(WindowLayoutTest, TheSetUpTitlesTheWindowWithTheSelectedScanner) {
    run([](FormScansione& form) {
        EXPECT_EQ(form.formTag(), QStringLiteral("Alimentatore fronte retro"));
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Alimentatore fronte retro"));
        EXPECT_EQ(form.property("Tag").toString(), form.formTag());
        EXPECT_EQ(view(form)->property("Tag").toString(), QString());
    });
}

TEST_F(WindowLayoutTest, OneScannerHidesBothScannerButtons) {
    prepare = [](FakeScanComponent& c) { c.sourceNames = {QStringLiteral("Unico")}; };
    run([](FormScansione& form) {
        for (int i : {12, 13}) {
            EXPECT_FALSE(button(form, i)->isVisible()) << i;
            EXPECT_FALSE(caption(form, i)->isVisible()) << i;
        }
        EXPECT_TRUE(button(form, 1)->isVisible());
        EXPECT_EQ(form.windowTitle(), QStringLiteral("Unico"));
    });
}

TEST_F(WindowLayoutTest, BeforeTheSetUpTheDesignValuesHold) {
    FormScansione form(services());
    EXPECT_EQ(form.windowTitle(), QStringLiteral("SCANNER"));
    EXPECT_FALSE(button(form, 13)->isHidden()) << "button 13 is visible until the first set-up";
    EXPECT_EQ(view(form)->geometry(), QRect(0, 0, px(1695), px(1095)));
    EXPECT_EQ(form.component(), nullptr) << "the component is created when the window loads";
}

} // namespace
