// The window on the real component and two virtual scanners, clicked as a person would: no
// command drops the pages of the store without a "Sì", a scanner that will not open says why,
// and the option boxes follow the scanner chosen.
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "support/ModalAnswer.h"
#include "support/ScanSession.h"

#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QWindow>

namespace {

class WindowGuardsTest : public ScanSessionTest {
protected:
    /// "Piano": a flatbed alone. "Alimentatore": a feeder with paper, both sides.
    void SetUp() override {
        useScanners(R"({"name": "Piano"},
            {"name": "Alimentatore", "duplex": true,
             "feeder": {"present": true, "paperDetectable": true, "sheets": 2}})");
        store->values[QStringLiteral("DefaultSource")] = QStringLiteral("0");
        record.Risoluzione = 50;
        record.Pagina = QStringLiteral("A5");
    }

    void useScanners(const QString& members) {
        const QString path = tmp.filePath(QStringLiteral("virtual.json"));
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QStringLiteral(R"({"scanners": [%1]})").arg(members).toUtf8());
        f.close();
        const QString cache = folder();
        component = [path, cache](std::shared_ptr<ComponentDialogs> dialogs) {
            std::vector<std::unique_ptr<DeviceLayer>> layers;
            layers.push_back(std::make_unique<VirtualScannerLayer>(path));
            return std::make_unique<VstScan>(std::move(layers), cache, std::move(dialogs));
        };
    }

    /// Clicks "Scanners disponibili" and answers the source dialog: the row to pick, or -1
    /// for its "Annulla".
    static void chooseScanner(FormScansione& form, int row) {
        bool answered = false;
        answerNextModal([&answered, row](QWidget* dialog) {
            answered = dialog->objectName() == QLatin1String("SelectSource");
            auto* buttons = dialog->findChild<QDialogButtonBox*>();
            if (row < 0) {
                click(buttons->button(QDialogButtonBox::Cancel));
                return;
            }
            dialog->findChild<QListWidget*>(QStringLiteral("sourceList"))->setCurrentRow(row);
            click(buttons->button(QDialogButtonBox::Ok));
        });
        click(button(form, FormScansione::cmdCambiaScanner));
        EXPECT_TRUE(answered) << "the source dialog was shown";
    }

    static bool offered(FormScansione& form, const char* box) {
        return !check(form, box)->isHidden();
    }
};

struct ChangeCase {
    const char* name;
    int pages; ///< scanned on "Piano" first
    int row;   ///< picked in the dialog; -1 its "Annulla"
    std::optional<bool> answer;
    bool asked;
    bool changed; ///< the session moved to "Alimentatore" with an empty store
};

class ScannerChange : public WindowGuardsTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(ScannerChange, KeepsThePagesUnlessTheUserSaysSi) {
    const ChangeCase& c = GetParam();
    answer = c.answer;
    QString titleBefore, titleAfter;
    int pagesAfter = -1;
    QString source;
    run([&](FormScansione& form) {
        for (int i = 0; i < c.pages; ++i)
            ASSERT_TRUE(scan(form));
        titleBefore = form.windowTitle();
        chooseScanner(form, c.row);
        titleAfter = form.windowTitle();
        pagesAfter = form.pages().count();
        source = form.component()->SourceName(form.component()->SourceIndex());
    });
    const QStringList asked{QStringLiteral(
        "Scansione|Cambiando scanner le %1 pagine acquisite saranno eliminate. Continuare?")
                                .arg(c.pages)};
    EXPECT_EQ(questions, c.asked ? asked : QStringList());
    EXPECT_EQ(pagesAfter, c.changed ? 0 : c.pages);
    EXPECT_EQ(titleAfter, c.changed ? QStringLiteral("Alimentatore") : titleBefore);
    EXPECT_EQ(source, c.changed ? "Alimentatore" : "Piano");
    EXPECT_EQ(store->values.value(QStringLiteral("DefaultSource")), c.changed ? "1" : "0");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ScannerChange, ::testing::Values(
    ChangeCase{"DialogCancelled", 1, -1, true, false, false},
    ChangeCase{"SameScanner", 2, 0, true, false, false},
    ChangeCase{"OtherAnsweredNo", 2, 1, false, true, false},
    ChangeCase{"OtherClosedUnanswered", 1, 1, std::nullopt, true, false},
    ChangeCase{"OtherAnsweredSi", 2, 1, true, true, true},
    ChangeCase{"OtherWithoutPages", 0, 1, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// "Annulla", the close box and a new feeder batch each ask before the pages go.
struct LossCase {
    const char* name;
    enum Way { Annulla, CloseBox, FeederBatch } way;
    int pages; ///< on the flatbed; a feeder batch brings two sheets instead
    std::optional<bool> answer;
    const char* question; ///< with %1 for the pages; null: none asked
    bool pagesGo;
};

class PageLoss : public WindowGuardsTest, public ::testing::WithParamInterface<LossCase> {};

TEST_P(PageLoss, AsksFirstWhenPagesExist) {
    const LossCase& c = GetParam();
    answer = c.answer;
    bool openAfter = false, enabledAfter = false;
    QString before, after;
    const int command =
        c.way == LossCase::FeederBatch ? FormScansione::cmdScansione : FormScansione::cmdAnnulla;
    run([&](FormScansione& form) {
        if (c.way == LossCase::FeederBatch) {
            chooseScanner(form, 1);
            ASSERT_TRUE(scan(form)); // the first batch: nothing to replace yet
        }
        for (int i = 0; i < c.pages; ++i)
            ASSERT_TRUE(scan(form));
        before = pageMap(form);
        switch (c.way) {
        case LossCase::Annulla:
            click(button(form, FormScansione::cmdAnnulla));
            break;
        case LossCase::CloseBox:
            form.windowHandle()->close(); // as the window system delivers the close box
            break;
        case LossCase::FeederBatch:
            if (c.pagesGo)
                ASSERT_TRUE(scan(form));
            else
                click(button(form, FormScansione::cmdScansione));
            // After the batch, or after a "No" that started none, no source is left open.
            EXPECT_EQ(form.component()->DataSourceOpen(), 0);
            break;
        }
        openAfter = form.isVisible();
        enabledAfter = button(form, command)->isEnabled();
        after = pageMap(form);
    });
    const int pages = c.way == LossCase::FeederBatch ? 2 : c.pages;
    EXPECT_EQ(questions, c.question ? QStringList{QStringLiteral("Scansione|") +
                                                  QString::fromUtf8(c.question).arg(pages)}
                                    : QStringList());
    if (c.way == LossCase::FeederBatch) {
        EXPECT_TRUE(openAfter);
        EXPECT_EQ(after, c.pagesGo ? QStringLiteral("PAG_1=I2,PAG_2=I3") : before);
    } else {
        EXPECT_EQ(openAfter, !c.pagesGo);
        if (!c.pagesGo) {
            EXPECT_EQ(after, before);
            EXPECT_TRUE(enabledAfter) << "the command can be given again";
        }
    }
}

const char* const cancelQuestion = "Annullare la scansione? Le %1 pagine acquisite andranno perse.";
const char* const batchQuestion = "Il nuovo lotto sostituirà le %1 pagine acquisite. Continuare?";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, PageLoss, ::testing::Values(
    LossCase{"AnnullaWithoutPages", LossCase::Annulla, 0, std::nullopt, nullptr, true},
    LossCase{"AnnullaNo", LossCase::Annulla, 2, false, cancelQuestion, false},
    LossCase{"AnnullaUnanswered", LossCase::Annulla, 1, std::nullopt, cancelQuestion, false},
    LossCase{"AnnullaSi", LossCase::Annulla, 2, true, cancelQuestion, true},
    LossCase{"CloseBoxNo", LossCase::CloseBox, 1, false, cancelQuestion, false},
    LossCase{"CloseBoxSi", LossCase::CloseBox, 1, true, cancelQuestion, true},
    LossCase{"FeederBatchNo", LossCase::FeederBatch, 0, false, batchQuestion, false},
    LossCase{"FeederBatchUnanswered", LossCase::FeederBatch, 0, std::nullopt, batchQuestion, false},
    LossCase{"FeederBatchSi", LossCase::FeederBatch, 0, true, batchQuestion, true}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The boxes show what the scanner just chosen can do, before any scan.
TEST_F(WindowGuardsTest, OptionBoxesFollowTheChosenScanner) {
    answer = true;
    QList<QPair<bool, bool>> seen; // "Fronte retro", "Forza ADF"
    run([&](FormScansione& form) {
        seen << qMakePair(offered(form, "chkFronteRetro"), offered(form, "chkADF"));
        chooseScanner(form, 1);
        seen << qMakePair(offered(form, "chkFronteRetro"), offered(form, "chkADF"));
        chooseScanner(form, 0);
        seen << qMakePair(offered(form, "chkFronteRetro"), offered(form, "chkADF"));
    });
    EXPECT_EQ(seen, (QList<QPair<bool, bool>>{{false, false}, {true, true}, {false, false}}));
}

// A "Forza ADF" stored from a feeder forces nothing on a flatbed, where it is not offered:
// the pages are appended, not replaced by a batch.
TEST_F(WindowGuardsTest, StoredForzaAdfDoesNotForceAFlatbed) {
    store->values[QStringLiteral("AutoADF")] = QStringLiteral("TRUE");
    QString map;
    run([&](FormScansione& form) {
        ASSERT_TRUE(scan(form));
        ASSERT_TRUE(scan(form));
        map = pageMap(form);
    });
    EXPECT_EQ(map, "PAG_1=I0,PAG_2=I1");
    EXPECT_TRUE(questions.isEmpty());
}

// A scanner that refuses to open says so at every press, with the component's reason.
TEST_F(WindowGuardsTest, ScannerThatWillNotOpenSaysWhyAtEveryPress) {
    useScanners(R"({"name": "Rotto", "faults": {"openFails": {}}})");
    run([&](FormScansione& form) {
        click(button(form, FormScansione::cmdScansione));
        click(button(form, FormScansione::cmdScansione));
        EXPECT_EQ(form.pages().count(), 0);
    });
    const QString said =
        QStringLiteral("ERRORE|Impossibile aprire lo scanner \"Rotto\": Accesso allo scanner negato");
    EXPECT_EQ(messages, (QStringList{said, said}));
}

// The real question box: Enter gives the answer that loses nothing.
TEST(QuestionBox, EnterGivesTheAnswerThatKeepsThePages) {
    for (const SafeAnswer keeps : {SafeAnswer::No, SafeAnswer::Yes}) {
        QString shownText;
        answerNextModal([&shownText](QWidget* box) {
            shownText = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->text();
            QTest::keyClick(box, Qt::Key_Return);
        });
        const std::optional<bool> got =
            WindowServices::askPlainYesNo(nullptr, QStringLiteral("Continuare?"), QStringLiteral("Scansione"), keeps);
        EXPECT_EQ(got, keeps == SafeAnswer::Yes);
        EXPECT_EQ(shownText, QStringLiteral("Continuare?"));
    }
}

} // namespace
