// The command dispatch, the keys and the close box, and the option check boxes through real
// clicks.
#include "component_base/ScanError.h"
#include "support/ScanSession.h"

#include <QWindow>

namespace {

class WindowDispatchTest : public ScanSessionTest {
protected:
    void SetUp() override {
        prepare = [](FakeScanComponent& c) {
            c.sourceNames = {QStringLiteral("Piano"), QStringLiteral("Alimentatore")};
            c.values["SelectSourceChoice"] = 1;
        };
        store->values[QStringLiteral("DefaultSource")] = QStringLiteral("0");
    }
    static QVector<bool> enabledStates(FormScansione& f) {
        QVector<bool> out;
        for (int i = 0; i <= 13; ++i)
            out << (button(f, i) ? button(f, i)->isEnabled() : false);
        return out;
    }
};

TEST_F(WindowDispatchTest, ThePressedButtonIsDisabledWhileItsCommandRuns) {
    std::optional<bool> enabledDuringChoice;
    run([&](FormScansione& f) {
        fake->onCall = [&, b = button(f, 12)](const QString& call) {
            calls << call;
            if (call == QLatin1String("SelectSource"))
                enabledDuringChoice = b->isEnabled();
        };
        click(button(f, 12));
        EXPECT_TRUE(button(f, 12)->isEnabled()) << "enabled again once the command returned";
    });
    ASSERT_TRUE(enabledDuringChoice.has_value());
    EXPECT_FALSE(*enabledDuringChoice);
}

TEST_F(WindowDispatchTest, AFailingCommandStillEnablesItsButtonAgain) {
    run([&](FormScansione& f) {
        fake->throwing.insert(QStringLiteral("SelectSource"));
        click(button(f, 12));
        EXPECT_TRUE(button(f, 12)->isEnabled());
        EXPECT_TRUE(f.isVisible());
    });
}

class WindowEndingCommandTest : public WindowDispatchTest,
                                public ::testing::WithParamInterface<int> {};

TEST_P(WindowEndingCommandTest, EndsTheSessionAndStaysDisabled) {
    const int index = GetParam();
    FormScansione form(services()); // "Importa PDF": the file dialog is cancelled
    const Outcome out = runOn(
        form, [index](FormScansione& f) { click(button(f, index)); }, &record);
    EXPECT_EQ(out.code, QString());
    EXPECT_FALSE(button(form, index)->isEnabled());
    EXPECT_FALSE(form.isVisible());
}

INSTANTIATE_TEST_SUITE_P(Indices, WindowEndingCommandTest, ::testing::Values(0, 6, 7));

TEST_F(WindowDispatchTest, EscDoesNothing) {
    run([&](FormScansione& f) {
        addPages(f, 2);
        click(button(f, 2));
        const QStringList callsBefore = calls;
        // On the window, and on an option box that passes the key up to it.
        for (QWidget* target :
             {static_cast<QWidget*>(&f), static_cast<QWidget*>(check(f, "chkADF"))}) {
            target->setFocus();
            QTest::keyClick(target, Qt::Key_Escape);
        }
        EXPECT_TRUE(f.isVisible());
        EXPECT_EQ(f.pages().count(), 2);
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
        EXPECT_EQ(calls, callsBefore);
    });
}

class WindowCancelTest : public WindowDispatchTest, public ::testing::WithParamInterface<bool> {};

// The title bar's close box ends the session as "Annulla" does, after a failed "Conferma" too.
TEST_P(WindowCancelTest, NothingListedAndNoPageKept) {
    const bool closeBox = GetParam();
    answer = true; // "Sì" to losing the two pages
    record.ResultFormat = QStringLiteral("JPEG");
    FormScansione form(services());
    const Outcome out = runOn(
        form,
        [&](FormScansione& f) {
            addPages(f, 2);
            fake->onSave = [](int32_t, const QString&) { throw ScanError("disco pieno"); };
            f.ImgButtons_Click(FormScansione::cmdConferma);
            ASSERT_TRUE(f.isVisible());
            if (closeBox)
                f.windowHandle()->close(); // as the window system delivers the close box
            else
                click(button(f, FormScansione::cmdAnnulla));
            EXPECT_FALSE(f.isVisible());
        },
        &record);
    EXPECT_EQ(out.code, QString());
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_EQ(form.pages().count(), 0);
    EXPECT_FALSE(button(form, FormScansione::cmdAnnulla)->isEnabled());
    EXPECT_TRUE(calls.contains(QStringLiteral("CloseSourceManager")));
}

INSTANTIATE_TEST_SUITE_P(Ways, WindowCancelTest, ::testing::Values(false, true));

TEST_F(WindowDispatchTest, TheZoomCaptionIsInert) {
    run([&](FormScansione& f) {
        addPages(f, 1);
        click(button(f, 2));
        click(caption(f, 7));
        EXPECT_TRUE(pdfDialogFolders.isEmpty()) << "no file dialog";
        EXPECT_TRUE(f.isVisible()) << "no PDF import, the session goes on";
        EXPECT_TRUE(button(f, 7)->isEnabled());
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
        EXPECT_EQ(view(f)->property("twips").toRect(), QRect(0, 0, 4820, 6600));
    });
}

TEST_F(WindowDispatchTest, IndicesWithoutACommandDoNothing) {
    run([&](FormScansione& f) {
        addPages(f, 2);
        click(button(f, 2));
        const QVector<bool> before = enabledStates(f);
        const QStringList callsBefore = calls;
        for (int16_t index : {int16_t(8), int16_t(14), int16_t(-1), int16_t(300)}) {
            f.ImgButtons_Click(index);
            f.LblButtons_Click(index);
        }
        EXPECT_EQ(enabledStates(f), before);
        EXPECT_EQ(calls, callsBefore);
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
        EXPECT_TRUE(f.isVisible());
    });
}

TEST_F(WindowDispatchTest, EveryCaptionRunsTheCommandOfItsIndex) {
    answer = true; // dropping the pages is meant
    run([&](FormScansione& f) {
        addPages(f, 3);
        click(caption(f, 2));
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
        click(caption(f, 3));
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("3"));
        click(caption(f, 11));
        EXPECT_EQ(fake->callsNamed(QStringLiteral("RotateImage")),
                  QStringList{"RotateImage(2,180)"});
        click(caption(f, 5));
        EXPECT_EQ(f.pages().count(), 2);
        click(caption(f, 12));
        EXPECT_EQ(f.pages().count(), 0) << "the scanner was changed";
        click(caption(f, 6));
        EXPECT_FALSE(f.isVisible());
    });
}

TEST_F(WindowDispatchTest, NoReportNoInformationWindow) {
    run([&](FormScansione& f) {
        fake->values["DataSourceOpen"] = 1; // the report gives "" while the source is open
        f.ImgButtons_Click(13);
        EXPECT_TRUE(infoShown.isEmpty());
        EXPECT_TRUE(button(f, 13)->isEnabled());
        fake->values["DataSourceOpen"] = 0;
        fake->throwing.insert(QStringLiteral("SourceName"));
        f.ImgButtons_Click(13);
        EXPECT_TRUE(infoShown.isEmpty()) << "a failing report is no report";
        EXPECT_TRUE(button(f, 13)->isEnabled());
    });
}

TEST_F(WindowDispatchTest, AReportIsShownInTheInformationWindow) {
    run([&](FormScansione& f) {
        f.ImgButtons_Click(13);
        ASSERT_EQ(infoShown.size(), 1);
        EXPECT_TRUE(infoShown.first().contains(QStringLiteral("Device name: Piano")))
            << infoShown.first().toStdString();
    });
}

// --- option check boxes ------------------------------------------------------------

struct StoredAdf {
    const char* stored; // nullptr: absent
    bool checked;
};

class WindowAutoAdfTest : public WindowDispatchTest,
                          public ::testing::WithParamInterface<StoredAdf> {};

TEST_P(WindowAutoAdfTest, TheStoredChoiceSetsForzaAdf) {
    if (GetParam().stored)
        store->values[QStringLiteral("AutoADF")] = QString::fromLatin1(GetParam().stored);
    const int writesBefore = store->writes;
    run([&](FormScansione& f) {
        EXPECT_EQ(check(f, "chkADF")->isChecked(), GetParam().checked);
        EXPECT_FALSE(check(f, "chkFronteRetro")->isChecked());
        EXPECT_FALSE(check(f, "CheckVisualizza")->isChecked());
    });
    EXPECT_EQ(store->writes, writesBefore) << "nothing is written until the user clicks";
    EXPECT_FALSE(store->values.contains(QStringLiteral("ScanFronteRetro")));
}

INSTANTIATE_TEST_SUITE_P(Values, WindowAutoAdfTest,
                         ::testing::Values(StoredAdf{nullptr, false}, StoredAdf{"TRUE", true},
                                           StoredAdf{"true", false}, StoredAdf{"FALSE", false},
                                           StoredAdf{" TRUE", false}));

TEST_F(WindowDispatchTest, ClickingForzaAdfStoresItAndRerunsTheSetUp) {
    run([&](FormScansione& f) {
        addPages(f, 3);
        showPage(f, 2);
        ASSERT_EQ(f.windowTitle(), QStringLiteral("Piano - Pag. 2"));
        click(check(f, "chkADF"));
        EXPECT_EQ(store->values.value(QStringLiteral("AutoADF")), QStringLiteral("TRUE"));
        EXPECT_TRUE(check(f, "chkADF")->isChecked());
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Piano"));
        EXPECT_EQ(f.imgPreviewTag(), QString());
        click(button(f, 11)); // Ruota: no current page
        EXPECT_TRUE(fake->callsNamed(QStringLiteral("RotateImage")).isEmpty());
        click(button(f, 2));
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
        click(check(f, "chkADF"));
        EXPECT_EQ(store->values.value(QStringLiteral("AutoADF")), QStringLiteral("FALSE"));
        EXPECT_FALSE(check(f, "chkADF")->isChecked());
    });
    // "Forza ADF" persists into the next session.
    store->values[QStringLiteral("AutoADF")] = QStringLiteral("TRUE");
    run([&](FormScansione& f) { EXPECT_TRUE(check(f, "chkADF")->isChecked()); });
}

TEST_F(WindowDispatchTest, FronteRetroIsStoredButNeverReadBack) {
    run([&](FormScansione& f) {
        click(check(f, "chkFronteRetro"));
        EXPECT_EQ(store->values.value(QStringLiteral("ScanFronteRetro")), QStringLiteral("TRUE"));
        click(check(f, "chkFronteRetro"));
        EXPECT_EQ(store->values.value(QStringLiteral("ScanFronteRetro")), QStringLiteral("FALSE"));
        click(check(f, "chkFronteRetro"));
    });
    ASSERT_EQ(store->values.value(QStringLiteral("ScanFronteRetro")), QStringLiteral("TRUE"));
    run([&](FormScansione& f) { EXPECT_FALSE(check(f, "chkFronteRetro")->isChecked()); });
}

TEST_F(WindowDispatchTest, AValueSetByTheProgramRunsNoClickHandling) {
    run([&](FormScansione& f) {
        addPages(f, 2);
        f.setImgPreviewTag(QStringLiteral("3")); // where an acquisition files its next image
        const int writes = store->writes;
        check(f, "chkADF")->setChecked(true);
        check(f, "chkFronteRetro")->setChecked(true);
        check(f, "chkFronteRetro")->setChecked(false);
        EXPECT_EQ(store->writes, writes);
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("3"));
    });
}

TEST_F(WindowDispatchTest, AStoreThatCannotBeWrittenLeavesTheWindowUsable) {
    run([&](FormScansione& f) {
        addPages(f, 1);
        store->failWrites = true;
        click(check(f, "chkADF"));
        click(check(f, "chkFronteRetro"));
        EXPECT_TRUE(f.isVisible());
        click(button(f, 2));
        EXPECT_EQ(f.imgPreviewTag(), QStringLiteral("1"));
    });
}

TEST_F(WindowDispatchTest, ApriDocIsHandedBackAsVediRisultato) {
    Outcome checked = run([](FormScansione& f) { click(check(f, "CheckVisualizza")); });
    EXPECT_EQ(checked.openDoc, -1);
    Outcome unchecked = run([](FormScansione& f) {
        click(check(f, "CheckVisualizza"));
        click(check(f, "CheckVisualizza"));
    });
    EXPECT_EQ(unchecked.openDoc, 0);
    EXPECT_FALSE(store->values.contains(QStringLiteral("CheckVisualizza")));
}

} // namespace
