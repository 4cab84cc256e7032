// The window's controls against the design table the window is built from: each at its place
// in its container, the table's own invariants (inside the container, no overlaps, captions
// under their buttons), colours and fonts, and what the set-up changes.
#include "scan_window/WindowLayout.h"
#include "support/ScanSession.h"

#include <QGroupBox>
#include <cmath>

namespace {

int px(int twips) {
    return int(std::lround(twips / 15.0));
}

QRect pixels(const QRect& twips) {
    return {px(twips.left()), px(twips.top()), px(twips.width()), px(twips.height())};
}

QString textOf(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text();
    if (auto* box = qobject_cast<QCheckBox*>(w))
        return box->text();
    return QString();
}

/// The design place of a control in the table (the test fails where there is none).
const windowLayout::Place& placeOf(const QString& name) {
    const windowLayout::Place* place = windowLayout::placeOf(name);
    if (!place)
        throw std::runtime_error("no design place for " + name.toStdString());
    return *place;
}

QSize containerSize(const char* container) {
    if (QLatin1String(container) == QLatin1String(windowLayout::window))
        return {windowLayout::formWidth, windowLayout::formHeight};
    return placeOf(QString::fromLatin1(container)).twips().size();
}

class WindowLayoutTest : public ScanSessionTest {
protected:
    void SetUp() override {
        prepare = [](FakeScanComponent& c) {
            c.sourceNames = {QStringLiteral("Piano A4"),
                             QStringLiteral("Alimentatore fronte retro")};
            c.values["SourceIndex"] = 1;
            // The selected scanner has a feeder and scans both sides: every box is offered.
            c.values["FeederPresent"] = 1;
            c.values["DuplexSupported"] = 1;
        };
        store->values[QStringLiteral("DefaultSource")] = QStringLiteral("1");
    }
};

TEST_F(WindowLayoutTest, EveryControlStandsAtItsDesignPlace) {
    const Outcome out = run([](FormScansione& form) {
        EXPECT_EQ(form.size(), QSize(px(windowLayout::formWidth), px(windowLayout::formHeight)));
        EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window has a fixed size";
        for (const windowLayout::Place& p : windowLayout::places()) {
            SCOPED_TRACE(p.name);
            auto* w = form.findChild<QWidget*>(QString::fromLatin1(p.name));
            ASSERT_NE(w, nullptr);
            ASSERT_NE(w->parentWidget(), nullptr);
            const QString parent = w->parentWidget() == &form
                                       ? QString::fromLatin1(windowLayout::window)
                                       : w->parentWidget()->objectName();
            EXPECT_EQ(parent, QString::fromLatin1(p.container));
            if (p.caption) {
                EXPECT_EQ(textOf(w), QString::fromUtf8(p.caption));
            }
            // The page view is fitted to its frame when shown (below).
            if (w == view(form))
                continue;
            EXPECT_EQ(w->property("twips").toRect(), p.twips());
            if (p.width > 0) { // a line of no width is drawn one pixel wide
                EXPECT_EQ(w->geometry(), pixels(p.twips()));
            }
        }
        // No control at index 8, no caption labels for the zoom buttons.
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("ImgButtons_8")), nullptr);
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("LblButtons_9")), nullptr);
        EXPECT_EQ(form.findChild<QWidget*>(QStringLiteral("LblButtons_10")), nullptr);
    });
    EXPECT_TRUE(out.bodyRan);
}

TEST(WindowDesignTest, EveryControlIsCentredInsideItsContainer) {
    // A caption may reach past its panel's edge (its text is centred), never lie beside it.
    for (const windowLayout::Place& p : windowLayout::places()) {
        const QRect inside(QPoint(0, 0), containerSize(p.container));
        EXPECT_TRUE(inside.contains(p.twips().center())) << p.name << " in " << p.container;
    }
}

TEST(WindowDesignTest, CaptionsStandUnderTheirButtons) {
    for (int index = 0; index <= FormScansione::cmdInfo; ++index) {
        const windowLayout::Place* label =
            windowLayout::placeOf(QStringLiteral("LblButtons_%1").arg(index));
        if (!label || index == FormScansione::cmdImportaPdf)
            continue;
        SCOPED_TRACE(index);
        const windowLayout::Place& button = placeOf(QStringLiteral("ImgButtons_%1").arg(index));
        EXPECT_STREQ(label->container, button.container);
        EXPECT_GE(label->top, button.top + button.height);
        const int centre = button.left + button.width / 2;
        EXPECT_TRUE(label->left <= centre && centre <= label->left + label->width);
    }
    // Caption 7 names the zoom pair it stands between; the import button has its own label.
    const windowLayout::Place& zoom = placeOf(QStringLiteral("LblButtons_7"));
    EXPECT_STREQ(zoom.container, placeOf(QStringLiteral("ImgButtons_9")).container);
    EXPECT_GT(zoom.twips().center().x(),
              placeOf(QStringLiteral("ImgButtons_9")).twips().center().x());
    EXPECT_LT(zoom.twips().center().x(),
              placeOf(QStringLiteral("ImgButtons_10")).twips().center().x());
}

TEST_F(WindowLayoutTest, AfterTheSetUpOnlyTheMarkersAndTheReportCommandAreHidden) {
    run([](FormScansione& form) {
        QVector<QWidget*> shown;
        for (const windowLayout::Place& p : windowLayout::places()) {
            QWidget* w = form.findChild<QWidget*>(QString::fromLatin1(p.name));
            const QString name = QString::fromLatin1(p.name);
            const bool hidden = name.startsWith(QLatin1String("lblPOS_")) ||
                                name.endsWith(QLatin1String("Buttons_13"));
            EXPECT_EQ(w->isVisible(), !hidden) << p.name;
            if (w->isVisible())
                shown << w;
        }
        // Visible controls side by side touch at most by a pixel of rounding: none covers
        // another, so every click lands on the control it was meant for.
        for (QWidget* a : shown)
            for (QWidget* b : shown) {
                if (a >= b || a->parentWidget() != b->parentWidget())
                    continue;
                const QRect overlap = a->geometry() & b->geometry();
                EXPECT_TRUE(overlap.isEmpty() || overlap.width() <= 1 || overlap.height() <= 1)
                    << a->objectName().toStdString() << " covers " << b->objectName().toStdString();
            }
    });
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
