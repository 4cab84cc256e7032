// "Importa PDF" through the real file dialog: the chosen file listed and remembered, a name
// typed without extension completed, a missing file refused, Cancel closing with nothing.
#include "support/ModalAnswer.h"
#include "support/ScanSession.h"

#include "scan_window/QtTranslation.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QMessageBox>

namespace {

class ImportTest : public ScanSessionTest {
protected:
    ImportTest() { realFileDialog = true; }

    QTemporaryDir docs;

    QString makeFile(const QString& name) {
        const QString path = docs.path() + '/' + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not even a PDF: the import never reads it");
        return path;
    }

    /// What the dialog looked like when it opened.
    struct Seen {
        bool opened = false;
        QString directory;
        QFileDialog::FileMode mode = QFileDialog::AnyFile;
        QString suffix;
        QStringList filters;
        QStringList matchingFiles;
    };

    /// Presses "Importa PDF" and answers the dialog with `answer`.
    Outcome import(Seen& seen, const std::function<void(QFileDialog*)>& answer) {
        return run([&](FormScansione& form) {
            answerNextModal([&](QWidget* w) {
                auto* dialog = qobject_cast<QFileDialog*>(w);
                ASSERT_NE(dialog, nullptr) << w->metaObject()->className();
                seen.opened = true;
                seen.directory = dialog->directory().absolutePath();
                seen.mode = dialog->fileMode();
                seen.suffix = dialog->defaultSuffix();
                seen.filters = dialog->nameFilters();
                seen.matchingFiles = listedFiles(dialog);
                answer(dialog);
                if (dialog->isVisible()) {
                    ADD_FAILURE() << "the file dialog is still open";
                    dialog->reject();
                }
            });
            form.ImgButtons_Click(7);
            EXPECT_FALSE(form.isVisible());
        });
    }

    /// Types `text` into the file name field, as a person does (selectFile leaves the field
    /// alone while it has the focus).
    static void type(QFileDialog* dialog, const QString& text) {
        auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(edit, nullptr);
        edit->setText(text);
    }

    /// The files the dialog lists in `docs` under its filter, as a person sees them (the
    /// folder is read in the background: waits for it).
    QStringList listedFiles(QFileDialog* dialog) {
        if (QDir(dialog->directory()) != QDir(docs.path()))
            dialog->setDirectory(docs.path());
        auto* view = dialog->findChild<QListView*>(QStringLiteral("listView"));
        if (!view)
            return {QStringLiteral("no list view")};
        QStringList names;
        // A short list after the wait is the answer the test judges.
        (void)QTest::qWaitFor(
            [&] {
                names.clear();
                const QModelIndex root = view->rootIndex();
                for (int row = 0; row < view->model()->rowCount(root); ++row)
                    names << view->model()->index(row, 0, root).data().toString();
                return names.size() >= 2;
            },
            5000);
        names.sort();
        return names;
    }
};

TEST_F(ImportTest, ChosenFileIsListedAndRemembered) {
    const QString a = makeFile("a.pdf");
    makeFile("B.PDF");
    makeFile("note.txt");
    Seen seen;
    const Outcome out = import(seen, [&](QFileDialog* d) {
        type(d, a);
        static_cast<QDialog*>(d)->accept(); // QFileDialog::accept checks the name
    });
    ASSERT_TRUE(seen.opened);
    EXPECT_EQ(seen.mode, QFileDialog::ExistingFile);
    EXPECT_EQ(seen.suffix, "pdf");
    // The description once, as it reads.
    EXPECT_EQ(seen.filters, QStringList{"PDF files (*.pdf)"});
    // The one filter matches both spellings of the extension and nothing else.
    EXPECT_EQ(seen.matchingFiles, (QStringList{"B.PDF", "a.pdf"}));
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{a});
    EXPECT_EQ(store->values.value("DIR"), a);

    // The next import opens in the folder of the file chosen last.
    Seen again;
    import(again, [](QFileDialog* d) { d->reject();
});
EXPECT_EQ(again.directory, QFileInfo(a).absolutePath());
EXPECT_EQ(store->values.value("DIR"), a);
} // namespace

// Nothing remembered: the dialog opens in the user's documents, not at the file system's top.
TEST_F(ImportTest, WithoutARememberedFolderTheDialogOpensInTheDocuments) {
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Documents"));
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    Seen seen;
    import(seen, [](QFileDialog* d) { d->reject(); });
    qputenv("HOME", oldHome);
    EXPECT_EQ(seen.directory, home.path() + "/Documents");
}

TEST_F(ImportTest, NameTypedWithoutExtensionGetsPdf) {
    const QString report = makeFile("report.pdf");
    Seen seen;
    const Outcome out = import(seen, [&](QFileDialog* d) {
        d->setDirectory(docs.path());
        type(d, "report");
        static_cast<QDialog*>(d)->accept(); // QFileDialog::accept checks the name
    });
    ASSERT_TRUE(out.files);
    EXPECT_EQ(*out.files, QStringList{report});
}

TEST_F(ImportTest, MissingFileIsRefused) {
    Seen seen;
    bool stayedOpen = false;
    QString warning;
    const Outcome out = import(seen, [&](QFileDialog* d) {
        d->setDirectory(docs.path());
        type(d, "absent.pdf");
        answerNextModal([&](QWidget* w) {
            if (auto* box = qobject_cast<QMessageBox*>(w))
                warning = box->text();
            w->close();
        });
        static_cast<QDialog*>(d)->accept(); // QFileDialog::accept checks the name
        stayedOpen = d->isVisible();
        d->reject();
    });
    EXPECT_TRUE(stayedOpen);
    EXPECT_FALSE(warning.isEmpty());
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_FALSE(store->values.contains("DIR"));
}

TEST_F(ImportTest, CancelAfterThreePagesListsNothingAndWritesNothing) {
    record.ResultFormat = "PDF";
    store->values["DIR"] = "/somewhere/old.pdf";
    Outcome out = run([&](FormScansione& form) {
        scanPages(form, 3);
        answerNextModal([](QWidget* w) { static_cast<QDialog*>(w)->reject(); });
        form.ImgButtons_Click(7);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(form.pages().count(), 3); // left as they were, dropped with the window
    });
    ASSERT_TRUE(out.files);
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_EQ(store->values.value("DIR"), "/somewhere/old.pdf");
    EXPECT_TRUE(pdfCalls.isEmpty());
    EXPECT_FALSE(QFile::exists(folder() + "scandoc.pdf"));
}

} // namespace

// Qt's own texts in the window's dialogs come from Qt's Italian translation once it is loaded.
TEST(QtItalianTest, QtsOwnButtonsSpeakItalian) {
    ASSERT_TRUE(installQtItalian()) << "qt6-translations-l10n is not installed";
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), QStringLiteral("Annulla"));
    EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("lookInLabel"))->text(),
              QStringLiteral("Cerca in:"));
}
