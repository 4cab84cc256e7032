// The session from EseguiScansione to the returned collection: failure codes, the closing
// sequence, the scan log, the choice of the scanner and its memory, the change of scanner.
#include "support/ScanSession.h"

#include <QDir>

namespace {

class WindowSessionTest : public ScanSessionTest {
protected:
    void twoScanners(int choice = 1) {
        prepare = [choice](FakeScanComponent& c) {
            c.sourceNames = {QStringLiteral("Piano"), QStringLiteral("Alimentatore")};
            c.values["SelectSourceChoice"] = choice;
        };
    }
};

TEST_F(WindowSessionTest, WithoutSettingsTheWindowLoadsButTouchesNoDevice) {
    FormScansione form(services());
    Outcome out = runOn(
        form, [](FormScansione&) {}, nullptr);
    EXPECT_EQ(out.code, QStringLiteral("SCAN_SETTING_FAILED"));
    EXPECT_FALSE(out.files.has_value());
    EXPECT_FALSE(out.bodyRan);
    EXPECT_EQ(out.openDoc, 7) << "VediRisultato is written only when the window was shown";
    EXPECT_EQ(componentsCreated, 1);
    EXPECT_NE(form.component(), nullptr);
    EXPECT_TRUE(calls.isEmpty()) << calls.join(',').toStdString();
    EXPECT_EQ(form.formTag(), QStringLiteral("SCANNER"));
}

struct StartFailure {
    const char* name;
    std::function<void(FakeScanComponent&)> prepare;
    const char* code;
};

class WindowStartFailureTest : public WindowSessionTest,
                               public ::testing::WithParamInterface<StartFailure> {};

TEST_P(WindowStartFailureTest, EndsBeforeShowingWithItsCode) {
    prepare = GetParam().prepare;
    const Outcome out = run([](FormScansione&) {});
    EXPECT_EQ(out.code, QString::fromLatin1(GetParam().code));
    EXPECT_FALSE(out.files.has_value());
    EXPECT_FALSE(out.bodyRan);
    EXPECT_EQ(out.openDoc, 7);
    EXPECT_FALSE(calls.contains(QStringLiteral("CloseSourceManager")));
    EXPECT_FALSE(calls.contains(QStringLiteral("ImageLimit=99")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WindowStartFailureTest,
    ::testing::Values(StartFailure{"ManagerAnswersZero",
                                   [](FakeScanComponent& c) { c.values["OpenSourceManager"] = 0; },
                                   "SCAN_DEVICE_NOT_STARTED"},
                      StartFailure{
                          "ManagerThrows",
                          [](FakeScanComponent& c) { c.throwing.insert("OpenSourceManager"); },
                          "SCAN_DEVICE_NOT_STARTED"},
                      StartFailure{"NoSource", [](FakeScanComponent& c) { c.sourceNames.clear(); },
                                   "SCAN_NOT_AVAILABLE"},
                      StartFailure{"SourceCountUnreadable",
                                   [](FakeScanComponent& c) { c.throwing.insert("SourceCount"); },
                                   "SCAN_NOT_AVAILABLE"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowSessionTest, NoComponentAtAllIsADeviceThatDidNotStart) {
    WindowServices s = services();
    s.createComponent = [](auto) { return std::unique_ptr<ScanComponent>(); };
    FormScansione form(s);
    Outcome out = runOn(
        form, [](FormScansione&) {}, &record);
    EXPECT_EQ(out.code, QStringLiteral("SCAN_DEVICE_NOT_STARTED"));
    EXPECT_FALSE(out.files.has_value());
}

TEST_F(WindowSessionTest, AShownSessionOpensAndClosesTheDeviceInOrder) {
    FormScansione form(services());
    const Outcome out = runOn(
        form, [](FormScansione& f) { EXPECT_TRUE(f.isVisible() && f.isModal()); }, &record);
    EXPECT_TRUE(out.bodyRan);
    EXPECT_EQ(out.code, QString());
    ASSERT_TRUE(out.files.has_value());
    EXPECT_TRUE(out.files->isEmpty()) << "a cancelled session returns an empty collection";
    EXPECT_EQ(out.openDoc, 0);
    EXPECT_EQ(form.component(), nullptr) << "the component is released at the end";

    EXPECT_TRUE(inOrder(calls, {"OpenSourceManager", "StartOptionA=0", "StartOptionB=0",
                                "SourceCount", "SourceIndex=0", "ImageLimit=99"}))
        << calls.join(',').toStdString();
    EXPECT_EQ(calls.first(), QStringLiteral("OpenSourceManager"));
    EXPECT_EQ(calls.mid(calls.size() - 3).join(','),
              QStringLiteral("ImageLimit=1,CloseSourceManager,CloseDataSource"));
    EXPECT_TRUE(store->values.isEmpty())
        << "one scanner: DefaultSource is neither read nor written";
}

TEST_F(WindowSessionTest, ClosingTheWindowEndsTheSessionLikeACommand) {
    const Outcome out = run([](FormScansione& f) { f.close(); });
    ASSERT_TRUE(out.files.has_value());
    EXPECT_EQ(out.code, QString());
    EXPECT_TRUE(calls.contains(QStringLiteral("CloseSourceManager")));
}

TEST_F(WindowSessionTest, AHostMayEndTheSessionFromSessionShown) {
    FormScansione form(services());
    QObject::connect(&form, &FormScansione::sessionShown, &form, [&] { form.ImgButtons_Click(6); });
    QString code = QStringLiteral("x");
    int16_t open = 5;
    const auto files = form.EseguiScansione(&record, code, open);
    ASSERT_TRUE(files.has_value());
    EXPECT_EQ(code, QString());
    EXPECT_EQ(open, 0);
    EXPECT_FALSE(form.isVisible());
}

TEST_F(WindowSessionTest, TheLogStartsEmptyInEverySession) {
    QFile old(folder() + QStringLiteral("Scanlog.log"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("OPERAZIONE FROM AN EARLIER SESSION\r\n");
    old.close();

    FormScansione form(services());
    runOn(
        form,
        [](FormScansione& f) {
            FormScansioneTestAccess::scriviLog(f, QStringLiteral("IMPOSTO RISOLUZIONE 300"), 0,
                                               QStringLiteral("ignored"));
            FormScansioneTestAccess::scriviLog(f, QStringLiteral("IMPOSTO LUMINOSITA 120"), -1,
                                               QStringLiteral("VALORE FUORI RANGE"));
        },
        &record);
    EXPECT_EQ(logLines(),
              (QStringList{"OPERAZIONE IMPOSTO RISOLUZIONE 300",
                           "OPERAZIONE IMPOSTO LUMINOSITA 120", "-1 - VALORE FUORI RANGE"}));

    runOn(
        form,
        [](FormScansione& f) {
            FormScansioneTestAccess::scriviLog(f, QStringLiteral("SECONDA"), 42,
                                               QStringLiteral("DETTAGLIO"));
        },
        &record);
    EXPECT_EQ(logLines(), (QStringList{"OPERAZIONE SECONDA", "42 - DETTAGLIO"}));
}

TEST_F(WindowSessionTest, ALogLineThatCannotBeWrittenIsLostQuietly) {
    WindowServices s = services();
    s.workingFolder = [this] { return folder() + QStringLiteral("missing/"); };
    FormScansione form(s);
    const Outcome out = runOn(
        form,
        [](FormScansione& f) {
            FormScansioneTestAccess::scriviLog(f, QStringLiteral("X"), 1, "Y");
        },
        &record);
    EXPECT_EQ(out.code, QString());
    EXPECT_FALSE(QFile::exists(folder() + QStringLiteral("missing/Scanlog.log")));
}

TEST_F(WindowSessionTest, TheChosenScannerIsRememberedForTheNextSession) {
    twoScanners(1);
    run([](FormScansione& f) { EXPECT_EQ(f.windowTitle(), QStringLiteral("Alimentatore")); });
    EXPECT_EQ(calls.count(QStringLiteral("SelectSource")), 1);
    EXPECT_EQ(store->values.value(QStringLiteral("DefaultSource")), QStringLiteral("1"));

    calls.clear();
    prepare = [](FakeScanComponent& c) {
        c.sourceNames = {QStringLiteral("Piano"), QStringLiteral("Alimentatore")};
    };
    run([](FormScansione& f) { EXPECT_EQ(f.windowTitle(), QStringLiteral("Alimentatore")); });
    EXPECT_FALSE(calls.contains(QStringLiteral("SelectSource")));
    EXPECT_TRUE(calls.contains(QStringLiteral("SourceIndex=1")));
}

TEST_F(WindowSessionTest, ACancelledChoiceStoresTheCurrentSource) {
    prepare = [](FakeScanComponent& c) {
        c.sourceNames = {QStringLiteral("Piano"), QStringLiteral("Alimentatore")};
    };
    run([](FormScansione&) {});
    EXPECT_EQ(calls.count(QStringLiteral("SelectSource")), 1);
    EXPECT_EQ(store->values.value(QStringLiteral("DefaultSource")), QStringLiteral("0"));
}

class WindowBadDefaultSourceTest : public WindowSessionTest,
                                   public ::testing::WithParamInterface<const char*> {};

TEST_P(WindowBadDefaultSourceTest, SelectsNothingAndShowsNoDialog) {
    twoScanners(1);
    store->values[QStringLiteral("DefaultSource")] = QString::fromLatin1(GetParam());
    const Outcome out = run([](FormScansione& f) {
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Piano")) << "the component's own source";
    });
    EXPECT_TRUE(out.bodyRan) << "the session goes on";
    EXPECT_EQ(out.code, QString());
    EXPECT_FALSE(calls.contains(QStringLiteral("SelectSource")));
    EXPECT_EQ(store->values.value(QStringLiteral("DefaultSource")),
              QString::fromLatin1(GetParam()));
    EXPECT_EQ(store->writes, 0);
}

INSTANTIATE_TEST_SUITE_P(Values, WindowBadDefaultSourceTest,
                         ::testing::Values("abc", "2", "-5", "", "99999999999", "1x"));

TEST_F(WindowSessionTest, CambiaScannerWithOneScannerDoesNothing) {
    run([this](FormScansione& f) {
        addPages(f, 2);
        f.ImgButtons_Click(12);
        EXPECT_EQ(f.pages().count(), 2);
    });
    EXPECT_FALSE(calls.contains(QStringLiteral("SelectSource")));
}

TEST_F(WindowSessionTest, CambiaScannerDropsPagesAndRetitlesTheWindow) {
    twoScanners(1);
    answer = true;
    store->values[QStringLiteral("DefaultSource")] = QStringLiteral("0");
    run([this](FormScansione& f) {
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Piano"));
        addPages(f, 2);
        click(button(f, 2));
        ASSERT_FALSE(view(f)->pixmap().isNull());
        calls.clear();
        click(button(f, 12));
        EXPECT_EQ(calls.count(QStringLiteral("SelectSource")), 1);
        EXPECT_TRUE(calls.contains(QStringLiteral("ImageLimit=99")));
        EXPECT_EQ(f.pages().count(), 0);
        EXPECT_TRUE(view(f)->pixmap().isNull());
        EXPECT_EQ(f.imgPreviewTag(), QString());
        EXPECT_EQ(f.windowTitle(), QStringLiteral("Alimentatore"));
        EXPECT_TRUE(button(f, 12)->isEnabled());
    });
    EXPECT_EQ(store->values.value(QStringLiteral("DefaultSource")), QStringLiteral("1"));
}

TEST_F(WindowSessionTest, ASecondSessionOnTheSameWindowStartsFromTheDesign) {
    FormScansione form(services());
    runOn(
        form,
        [](FormScansione& f) {
            click(check(f, "CheckVisualizza"));
            click(button(f, 10));
            click(button(f, 6));
        },
        &record);
    Outcome second = runOn(
        form,
        [](FormScansione& f) {
            EXPECT_TRUE(button(f, 6)->isEnabled()) << "loaded afresh";
            EXPECT_FALSE(check(f, "CheckVisualizza")->isChecked());
            EXPECT_EQ(view(f)->property("twips").toRect(), QRect(0, 0, 4820, 6600));
        },
        &record);
    EXPECT_EQ(componentsCreated, 2);
    EXPECT_TRUE(second.bodyRan);
    EXPECT_EQ(second.openDoc, 0) << "the choice handed back is the one the fresh box shows";
}

} // namespace
