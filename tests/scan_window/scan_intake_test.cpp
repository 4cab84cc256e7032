// The scan command's feeder decision, duplex switch and pointer, the filing of delivered
// images as pages (batch, append, replacement), the end event and its error message.
#include "component_base/ComponentErrors.h"
#include "support/ScanSession.h"

#include <QRegularExpression>

namespace {

struct FeederCase {
    const char* name;
    std::function<void(FakeScanComponent&)> device;
    bool forced;
    bool batch;
    bool asksDevice;
};

class FeederDecision : public ScanSessionTest, public ::testing::WithParamInterface<FeederCase> {};

TEST_P(FeederDecision, BatchOrSinglePage) {
    const FeederCase c = GetParam();
    // A feeder is fitted when the session starts, so that "Forza ADF" is offered.
    prepare = [](FakeScanComponent& f) { f.values["FeederPresent"] = 1; };
    answer = true; // a batch replaces the two pages
    QStringList calls;
    QString before, after;
    run([&](FormScansione& form) {
        // Two pages already in the store, scanned without a feeder.
        form.ImgButtons_Click(1);
        deliverPages(1);
        form.ImgButtons_Click(1);
        deliverPages(1);
        before = pageMap(form);
        c.device(*fake);
        if (c.forced)
            check(form, "chkADF")->click();
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
        deliverPages(2);
        after = pageMap(form);
    });
    EXPECT_EQ(before, "PAG_1=I0,PAG_2=I1");
    const QString feeder = c.batch ? "1" : "0";
    EXPECT_EQ(
        calls.filter(QRegularExpression("^(FeederEnabled|AutoFeed)=")),
        (QStringList{"FeederEnabled=" + feeder, "FeederEnabled=" + feeder, "AutoFeed=" + feeder}));
    EXPECT_EQ(calls.contains("FeederPresent"), c.asksDevice);
    if (c.batch) {
        EXPECT_TRUE(calls.contains("ImageLimit=99"));
        EXPECT_EQ(after, "PAG_1=I2,PAG_2=I3");
    } else {
        EXPECT_FALSE(calls.contains("ImageLimit=99"));
        EXPECT_EQ(after, "PAG_1=I0,PAG_2=I1,PAG_3=I2,PAG_4=I3");
    }
}

void feeder(FakeScanComponent& f, int present, int detectable, int loaded) {
    f.values["FeederPresent"] = present;
    f.values["PaperDetectable"] = detectable;
    f.values["FeederLoaded"] = loaded;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FeederDecision,
    ::testing::Values(
        FeederCase{"Forced", [](FakeScanComponent& f) { feeder(f, 1, 0, 0); }, true, true, false},
        FeederCase{"Detected", [](FakeScanComponent& f) { feeder(f, 1, 1, 1); }, false, true, true},
        FeederCase{"NotLoaded", [](FakeScanComponent& f) { feeder(f, 1, 1, 0); }, false, false,
                   true},
        FeederCase{"NoFeeder", [](FakeScanComponent& f) { feeder(f, 0, 1, 1); }, false, false,
                   true},
        FeederCase{"LoadedAnswerTwoIsNotLoaded", [](FakeScanComponent& f) { feeder(f, 1, 1, 2); },
                   false, false, true},
        // A sensor that fails must not drop the session's pages.
        FeederCase{"ThrowingSensor",
                   [](FakeScanComponent& f) {
                       feeder(f, 1, 1, 1);
                       f.throwing.insert("PaperDetectable");
                   },
                   false, false, true}),
    [](const ::testing::TestParamInfo<FeederCase>& info) { return std::string(info.param.name); });

TEST_F(ScanSessionTest, NoOpenSourceMeansNoFeederEvenWhenForced) {
    store->values["AutoADF"] = "TRUE";
    prepare = [](FakeScanComponent& f) {
        feeder(f, 1, 1, 1);
        // The source closes again right after programming (last programming call).
        f.onCall = [&f](const QString& call) {
            if (call == "DuplexSupported" && !f.calls.contains("FeederEnabled=0") &&
                !f.calls.contains("FeederEnabled=1"))
                f.values["DataSourceOpen"] = 0;
        };
    };
    QStringList calls;
    run([&](FormScansione& form) {
        fake->calls.clear();
        form.ImgButtons_Click(1);
        calls = fake->calls;
    });
    EXPECT_FALSE(calls.contains("FeederPresent"));
    EXPECT_TRUE(calls.contains("FeederEnabled=0"));
    EXPECT_FALSE(calls.contains("FeederEnabled=1"));
}

TEST_F(ScanSessionTest, HourglassWhileProgrammingDefaultBeforeAcquire) {
    Qt::CursorShape duringProgramming = Qt::ArrowCursor, atAcquire = Qt::WaitCursor;
    FormScansione* window = nullptr;
    prepare = [&](FakeScanComponent& f) {
        f.onCall = [&](const QString& call) {
            if (!window)
                return;
            if (call == "TransferMode=0")
                duringProgramming = window->cursor().shape();
            if (call == "Acquire")
                atAcquire = window->cursor().shape();
        };
    };
    run([&](FormScansione& form) {
        window = &form;
        form.ImgButtons_Click(1);
        window = nullptr;
    });
    EXPECT_EQ(duringProgramming, Qt::WaitCursor);
    EXPECT_EQ(atAcquire, Qt::ArrowCursor);
}

struct DuplexStartCase {
    int32_t supported;
    bool ticked;
    QString written;
    bool visibleAfter;
};

class DuplexStart : public ScanSessionTest,
                    public ::testing::WithParamInterface<DuplexStartCase> {};

TEST_P(DuplexStart, SwitchCheckBoxAndStoredChoice) {
    const DuplexStartCase c = GetParam();
    prepare = [&](FakeScanComponent& f) { f.values["DuplexSupported"] = c.supported; };
    QStringList duplexWrites;
    bool checked = true, hidden = false;
    QString tag;
    run([&](FormScansione& form) {
        if (c.ticked) {
            check(form, "chkFronteRetro")->click();
            ASSERT_EQ(store->values.value("ScanFronteRetro"), "TRUE");
        }
        form.ImgButtons_Click(1);
        duplexWrites = fake->callsNamed("DuplexEnabled");
        checked = check(form, "chkFronteRetro")->isChecked();
        hidden = check(form, "chkFronteRetro")->isHidden();
        // Clearing the box must not rerun the set-up, which would empty the page number.
        tag = form.imgPreviewTag();
    });
    EXPECT_EQ(duplexWrites, QStringList{"DuplexEnabled=" + c.written});
    EXPECT_EQ(hidden, !c.visibleAfter);
    EXPECT_EQ(tag, "1");
    if (!c.visibleAfter) {
        EXPECT_FALSE(checked);
        EXPECT_FALSE(store->values.contains("ScanFronteRetro"));
    } else {
        EXPECT_EQ(checked, c.ticked);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DuplexStart,
                         ::testing::Values(DuplexStartCase{1, true, "-1", true},
                                           DuplexStartCase{1, false, "0", true},
                                           DuplexStartCase{0, true, "0", false},
                                           DuplexStartCase{2, true, "0", false}));

TEST_F(ScanSessionTest, BatchNumbersPagesFromOneAndEndShowsPageOne) {
    store->values["AutoADF"] = "TRUE";
    QString tagAfterLast, map, caption;
    QStringList tags;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        EXPECT_EQ(form.imgPreviewTag(), "1");
        for (int i = 0; i < 4; ++i) {
            fake->deliver(pageImage(i));
            tags << form.imgPreviewTag();
        }
        fake->values["DataSourceOpen"] = 0; // the last image closes the source
        fake->deliver(pageImage(4));
        tagAfterLast = form.imgPreviewTag();
        fake->finish();
        map = pageMap(form);
        caption = form.windowTitle();
    });
    EXPECT_EQ(tags, (QStringList{"2", "3", "4", "5"}));
    EXPECT_EQ(tagAfterLast, "5");
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I2,PAG_4=I3,PAG_5=I4");
    EXPECT_EQ(caption, "Fake scanner - Pag. 1");
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(ScanSessionTest, ForcedBatchEmptiesTheStoreFirst) {
    prepare = [](FakeScanComponent& f) { f.values["FeederPresent"] = 1; };
    answer = true;
    QString before, after;
    run([&](FormScansione& form) {
        scanPages(form, 4);
        before = pageMap(form);
        check(form, "chkADF")->click();
        form.ImgButtons_Click(1);
        EXPECT_EQ(form.pages().count(), 0);
        deliverPages(2);
        after = pageMap(form);
    });
    EXPECT_EQ(before, "PAG_1=I0,PAG_2=I1,PAG_3=I2,PAG_4=I3");
    EXPECT_EQ(after, "PAG_1=I4,PAG_2=I5");
    EXPECT_EQ(questions, QStringList{"Scansione|Il nuovo lotto sostituirà le 4 pagine "
                                     "acquisite. Continuare?"});
}

TEST_F(ScanSessionTest, FlatbedSheetIsAppendedShownThenPageOne) {
    QString shownOnArrival, captionOnArrival, map, tagAtEnd;
    run([&](FormScansione& form) {
        scanPages(form, 2);
        form.ImgButtons_Click(1);
        EXPECT_EQ(form.imgPreviewTag(), "3");
        fake->values["DataSourceOpen"] = 0;
        fake->deliver(pageImage(2));
        shownOnArrival = form.imgPreviewTag();
        captionOnArrival = form.windowTitle();
        fake->finish();
        map = pageMap(form);
        tagAtEnd = form.imgPreviewTag();
    });
    EXPECT_EQ(shownOnArrival, "3");
    EXPECT_EQ(captionOnArrival, "Fake scanner - Pag. 3");
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I2");
    EXPECT_EQ(tagAtEnd, "1");
}

TEST_F(ScanSessionTest, ReplacementRepointsTheShownPage) {
    QString map;
    int count = 0;
    run([&](FormScansione& form) {
        check(form, "chkADF")->click();
        form.ImgButtons_Click(1);
        deliverPages(5);
        form.ImgButtons_Click(2); // Avanti: page 2
        form.ImgButtons_Click(2); // page 3
        ASSERT_EQ(form.imgPreviewTag(), "3");
        form.ImgButtons_Click(4); // Sostituisci pagina
        EXPECT_TRUE(fake->callsNamed("FeederEnabled").endsWith("FeederEnabled=0"));
        fake->values["DataSourceOpen"] = 0;
        fake->deliver(pageImage(5));
        fake->finish();
        map = pageMap(form);
        count = form.pages().count();
    });
    EXPECT_EQ(count, 5);
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I5,PAG_4=I3,PAG_5=I4");
}

TEST_F(ScanSessionTest, ReplacementWithoutShownPageAcquiresNothing) {
    QStringList calls;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(1);
        check(form, "chkADF")->click(); // reruns the set-up: no page is current
        check(form, "chkADF")->click();
        fake->calls.clear();
        form.ImgButtons_Click(4);
        calls = fake->calls;
        EXPECT_EQ(form.cursor().shape(), Qt::ArrowCursor);
    });
    EXPECT_FALSE(calls.contains("Acquire"));
}

TEST_F(ScanSessionTest, PagesKeepArrivingInOrderWhileTheUserBrowses) {
    QString map;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(3, false);
        form.ImgButtons_Click(3); // Indietro while the pages arrive: shows page 3
        form.ImgButtons_Click(3); // page 2
        deliverPages(2);
        map = pageMap(form);
    });
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I2,PAG_4=I3,PAG_5=I4");
}

TEST_F(ScanSessionTest, ImageWithoutPageNumberIsAppended) {
    QString map;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(1);
        form.setImgPreviewTag(QString());
        fake->deliver(pageImage(1)); // outside any acquisition, Tag empty
        map = pageMap(form);
    });
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1");
}

TEST_F(ScanSessionTest, EndWithoutPagesResetsTheView) {
    QStringList calls;
    QString caption, tag;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        fake->calls.clear();
        fake->finish(5, "T");
        calls = fake->calls;
        caption = form.windowTitle();
        tag = form.imgPreviewTag();
    });
    EXPECT_TRUE(calls.contains("ImageLimit=99"));
    EXPECT_EQ(caption, "Fake scanner");
    EXPECT_EQ(tag, "");
    EXPECT_EQ(messages, QStringList{"ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 5\r\nT"});
}

TEST_F(ScanSessionTest, ErrorAfterThirdPageKeepsThePages) {
    QString map;
    run([&](FormScansione& form) {
        check(form, "chkADF")->click();
        form.ImgButtons_Click(1);
        deliverPages(3, true, 9, "Carta inceppata");
        map = pageMap(form);
        EXPECT_EQ(form.imgPreviewTag(), "1");
    });
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1,PAG_3=I2");
    EXPECT_EQ(messages,
              QStringList{"ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE 9\r\nCarta inceppata"});
}

TEST_F(ScanSessionTest, NegativeCodeInMessage) {
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        deliverPages(1, true, -3, "coperchio aperto");
    });
    EXPECT_EQ(messages,
              QStringList{"ERRORE|ERRORE ACQUISIZIONE IMMAGINE.CODICE -3\r\ncoperchio aperto"});
}

TEST_F(ScanSessionTest, FailingAcquireStillRestoresThePointer) {
    prepare = [](FakeScanComponent& f) { f.throwing.insert("Acquire"); };
    Qt::CursorShape shape = Qt::WaitCursor;
    run([&](FormScansione& form) {
        form.ImgButtons_Click(1);
        shape = form.cursor().shape();
    });
    EXPECT_EQ(shape, Qt::ArrowCursor);
}

// The source closes when the device has finished; the end event follows once the page files
// are written, and until then the component refuses another acquisition (Busy). A scan or a
// replacement pressed in between runs once the end is through: its page arrives, and the log
// holds the lines of the same two commands pressed one after the other.
TEST_F(ScanSessionTest, PressBeforeTheEndEventRunsAfterIt) {
    const struct {
        const char* name;
        int16_t command;
        const char* map;
    } presses[] = {{"Scansione", FormScansione::cmdScansione, "PAG_1=I0,PAG_2=I1"},
                   {"Sostituisci", FormScansione::cmdSostituisci, "PAG_1=I1"}};
    for (const auto& p : presses) {
        SCOPED_TRACE(p.name);
        QStringList logs[2];
        QString maps[2];
        for (const bool inTheGap : {false, true}) {
            QFile::remove(folder() + QStringLiteral("Scanlog.log"));
            run([&](FormScansione& form) {
                form.ImgButtons_Click(FormScansione::cmdScansione);
                fake->values["DataSourceOpen"] = 0; // the device has finished
                fake->deliver(pageImage(0));
                if (inTheGap) {
                    fake->values["Acquire"] = 0;
                    fake->errors["Acquire"] = {int32_t(componentError::Busy), "occupato"};
                    form.ImgButtons_Click(p.command);
                    fake->values["Acquire"] = 1;
                    fake->errors.remove("Acquire");
                    fake->calls.clear();
                    fake->finish();
                    // The acquisition starts after the end, from the event loop.
                    EXPECT_FALSE(fake->calls.contains("Acquire"));
                    ASSERT_TRUE(
                        QTest::qWaitFor([&] { return fake->calls.contains("Acquire"); }, 5000));
                } else {
                    fake->finish();
                    form.ImgButtons_Click(p.command);
                }
                fake->deliver(pageImage(1));
                fake->finish();
                maps[inTheGap] = pageMap(form);
            });
            logs[inTheGap] = logLines();
        }
        EXPECT_EQ(maps[1], p.map);
        EXPECT_EQ(maps[0], p.map);
        EXPECT_EQ(logs[1], logs[0]);
        EXPECT_EQ(logs[0].count("OPERAZIONE IMPOSTO PARAMETRI SCANNER"), 2);
    }
    EXPECT_TRUE(messages.isEmpty()) << messages.join('\n').toStdString();
}

} // namespace
