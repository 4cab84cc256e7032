// The page store's rules and the page commands through real clicks: showing, wrap-around,
// rotation, deletion with renumbering, zoom, cancel.
#include "support/ScanSession.h"

#include <cmath>
#include <functional>

namespace {

// --- the store on its own -----------------------------------------------------------

TEST(PageStoreTest, KeysAndItemsFollowThePageAndImageNumbers) {
    EXPECT_EQ(PageStore::keyOf(12), QStringLiteral("PAG_12"));
    EXPECT_EQ(PageStore::itemOf(0), QStringLiteral("I0"));
    PageStore store;
    store.storePage(1, 4);
    store.storePage(2, 7);
    EXPECT_EQ(store.item(QStringLiteral("PAG_1")), QStringLiteral("I4"));
    EXPECT_EQ(store.imageOf(2), 7);
    EXPECT_EQ(store.imageOf(3), std::nullopt);
    EXPECT_EQ(store.item(QStringLiteral("PAG_3")), std::nullopt);
}

TEST(PageStoreTest, StoringAPageReplacesItsEntry) {
    PageStore store;
    store.storePage(1, 0);
    store.storePage(2, 1);
    store.storePage(2, 5);
    EXPECT_EQ(store.count(), 2);
    EXPECT_EQ(store.imageOf(2), 5);
    EXPECT_FALSE(store.add(PageStore::keyOf(1), PageStore::itemOf(9))) << "keys are unique";
    EXPECT_EQ(store.imageOf(1), 0);
}

TEST(PageStoreTest, AnItemThatIsNotANumberHasNoImage) {
    PageStore store;
    store.add(PageStore::keyOf(1), QStringLiteral("Ixyz"));
    store.add(PageStore::keyOf(2), QStringLiteral("I99999"));
    EXPECT_EQ(store.imageOf(1), std::nullopt);
    EXPECT_EQ(store.imageOf(2), std::nullopt) << "beyond a 16-bit number";
}

struct RemoveCase {
    int pages;
    int removed;
    std::vector<int> imagesAfter; // image of page 1, 2, ... afterwards
    bool removedSomething;
};

class PageStoreRemoveTest : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(PageStoreRemoveTest, LeavesNoGapAndKeepsTheImages) {
    const RemoveCase c = GetParam();
    PageStore store;
    for (int n = 1; n <= c.pages; ++n)
        store.storePage(n, 10 + n);
    EXPECT_EQ(store.removePage(c.removed), c.removedSomething);
    ASSERT_EQ(store.count(), int(c.imagesAfter.size()));
    for (int n = 1; n <= store.count(); ++n)
        EXPECT_EQ(store.imageOf(n), c.imagesAfter[n - 1]) << "page " << n;
    EXPECT_EQ(store.item(PageStore::keyOf(store.count() + 1)), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageStoreRemoveTest,
    ::testing::Values(RemoveCase{4, 2, {11, 13, 14}, true}, RemoveCase{4, 1, {12, 13, 14}, true},
                      RemoveCase{4, 4, {11, 12, 13}, true}, RemoveCase{1, 1, {}, true},
                      RemoveCase{3, 0, {11, 12, 13}, false}, RemoveCase{3, 4, {11, 12, 13}, false},
                      RemoveCase{0, 1, {}, false}));

// Pages 1 to 3 hold images 0, 1, 2 (page 4: image 0 again, where a case says so); each
// change reports exactly the images no page refers to any more.
struct ReleaseCase {
    const char* name;
    bool imageOnTwoPages;
    std::function<void(PageStore&)> change;
    QVector<int> released;
};

class PageStoreReleaseTest : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(PageStoreReleaseTest, ReportsTheImagesNoPageReaches) {
    const ReleaseCase& c = GetParam();
    QVector<QVector<int>> reports;
    PageStore store([&reports](const QVector<int>& images) { reports << images; });
    for (int n = 1; n <= 3; ++n)
        store.storePage(n, n - 1);
    if (c.imageOnTwoPages)
        store.storePage(4, 0);
    ASSERT_TRUE(reports.isEmpty());
    c.change(store);
    EXPECT_EQ(reports,
              c.released.isEmpty() ? QVector<QVector<int>>{} : QVector<QVector<int>>{c.released});
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageStoreReleaseTest,
    ::testing::Values(
        ReleaseCase{"ReplacedPage", false, [](PageStore& s) { s.storePage(2, 7); }, {1}},
        ReleaseCase{"SameImageStoredAgain", false, [](PageStore& s) { s.storePage(2, 1); }, {}},
        ReleaseCase{"NewPage", false, [](PageStore& s) { s.storePage(4, 3); }, {}},
        ReleaseCase{"DeletedPage", false, [](PageStore& s) { s.removePage(1); }, {0}},
        ReleaseCase{"RemovedKey", false, [](PageStore& s) { s.remove(PageStore::keyOf(3)); }, {2}},
        ReleaseCase{"Cleared", false, [](PageStore& s) { s.clear(); }, {0, 1, 2}},
        ReleaseCase{"ImageStillOnAnotherPage", true, [](PageStore& s) { s.removePage(1); }, {}},
        ReleaseCase{"NothingToDelete", false, [](PageStore& s) { s.removePage(9); }, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the view through the window ---------------------------------------------------

class WindowPagesTest : public ScanSessionTest {
protected:
    void SetUp() override {
        prepare = [](FakeScanComponent& c) { c.sourceNames = {QStringLiteral("SCAN1")}; };
    }
    static QString title(FormScansione& f) { return f.windowTitle(); }
    static QString tag(FormScansione& f) { return f.imgPreviewTag(); }
};

TEST_F(WindowPagesTest, AvantiAndIndietroWrapAround) {
    run([this](FormScansione& form) {
        addPages(form, 3);
        EXPECT_EQ(tag(form), QString());
        click(button(form, 2)); // Avanti from no page: page 1
        EXPECT_EQ(tag(form), QStringLiteral("1"));
        EXPECT_EQ(title(form), QStringLiteral("SCAN1 - Pag. 1"));
        EXPECT_EQ(shownColour(form), colourOf(0));
        click(button(form, 2));
        click(button(form, 2));
        EXPECT_EQ(title(form), QStringLiteral("SCAN1 - Pag. 3"));
        click(button(form, 2)); // last to first
        EXPECT_EQ(tag(form), QStringLiteral("1"));
        click(button(form, 3)); // first to last
        EXPECT_EQ(tag(form), QStringLiteral("3"));
        EXPECT_EQ(shownColour(form), colourOf(2));
        click(caption(form, 3)); // the caption runs the same command
        EXPECT_EQ(tag(form), QStringLiteral("2"));
    });
}

TEST_F(WindowPagesTest, IndietroWithNoPageShowsTheLastOne) {
    run([this](FormScansione& form) {
        addPages(form, 2);
        click(button(form, 3));
        EXPECT_EQ(tag(form), QStringLiteral("2"));
    });
}

TEST_F(WindowPagesTest, WithAnEmptyStoreNothingChanges) {
    run([this](FormScansione& form) {
        for (int b : {2, 3, 5, 11}) {
            click(button(form, b));
            EXPECT_EQ(tag(form), QString()) << b;
            EXPECT_EQ(title(form), QStringLiteral("SCAN1")) << b;
            EXPECT_TRUE(view(form)->pixmap().isNull()) << b;
        }
        EXPECT_EQ(FormScansioneTestAccess::pages(form).count(), 0);
        EXPECT_TRUE(fake->callsNamed(QStringLiteral("RotateImage")).isEmpty());
    });
}

TEST_F(WindowPagesTest, DeletingAPageRenumbersTheLaterOnesAndShowsPageOne) {
    run([this](FormScansione& form) {
        addPages(form, 4);
        showPage(form, 2);
        click(button(form, 5));
        EXPECT_EQ(pageMap(form), QStringLiteral("PAG_1=I0,PAG_2=I2,PAG_3=I3"));
        EXPECT_EQ(tag(form), QStringLiteral("1"));
        EXPECT_EQ(title(form), QStringLiteral("SCAN1 - Pag. 1"));
        EXPECT_EQ(shownColour(form), colourOf(0));
        click(caption(form, 5)); // caption "Elimina pagina": the same as its button
        EXPECT_EQ(pageMap(form), QStringLiteral("PAG_1=I2,PAG_2=I3"));
        EXPECT_EQ(shownColour(form), colourOf(2));
    });
}

TEST_F(WindowPagesTest, DeletingTheOnlyPageEmptiesTheViewAndAvantiAddsNothing) {
    run([this](FormScansione& form) {
        addPages(form, 1);
        click(button(form, 2));
        ASSERT_FALSE(view(form)->pixmap().isNull());
        click(button(form, 5));
        EXPECT_EQ(FormScansioneTestAccess::pages(form).count(), 0);
        EXPECT_EQ(tag(form), QString());
        EXPECT_TRUE(view(form)->pixmap().isNull());
        EXPECT_EQ(title(form), QStringLiteral("SCAN1"));
        // The component still holds the image, so page 1 passes the image-count bound, but
        // the store has no page 1: nothing is shown and no page appears.
        click(button(form, 2));
        click(button(form, 3));
        EXPECT_EQ(FormScansioneTestAccess::pages(form).count(), 0);
        EXPECT_TRUE(view(form)->pixmap().isNull());
        EXPECT_EQ(tag(form), QString());
        EXPECT_EQ(title(form), QStringLiteral("SCAN1"));
        EXPECT_TRUE(button(form, 2)->isEnabled());
    });
}

TEST_F(WindowPagesTest, AnUnconvertibleTagDeletesNothing) {
    run([this](FormScansione& form) {
        addPages(form, 2);
        for (const char* t : {"abc", "0", "3", "-1"}) {
            form.setImgPreviewTag(QString::fromLatin1(t));
            click(button(form, 5));
            EXPECT_EQ(FormScansioneTestAccess::pages(form).count(), 2) << t;
        }
    });
}

TEST_F(WindowPagesTest, RotatingTwiceRestoresThePage) {
    run([this](FormScansione& form) {
        addPages(form, 2);
        showPage(form, 2);
        click(button(form, 11));
        EXPECT_EQ(fake->callsNamed(QStringLiteral("RotateImage")),
                  QStringList{"RotateImage(1,180)"});
        EXPECT_EQ(shownColour(form), QColor(Qt::black)) << "upside down";
        EXPECT_EQ(title(form), QStringLiteral("SCAN1 - Pag. 2"));
        click(caption(form, 11));
        EXPECT_EQ(shownColour(form), colourOf(1));
        EXPECT_EQ(tag(form), QStringLiteral("2"));
        EXPECT_EQ(title(form), QStringLiteral("SCAN1 - Pag. 2"));
    });
}

TEST_F(WindowPagesTest, AFailingRotationStillRedrawsThePage) {
    run([this](FormScansione& form) {
        addPages(form, 1);
        click(button(form, 2));
        fake->throwing.insert(QStringLiteral("RotateImage"));
        click(button(form, 11));
        EXPECT_EQ(tag(form), QStringLiteral("1"));
        EXPECT_EQ(shownColour(form), colourOf(0));
        EXPECT_TRUE(button(form, 11)->isEnabled());
    });
}

TEST_F(WindowPagesTest, ZoomStepsAreAFifthOfTheFittedView) {
    run([this](FormScansione& form) {
        addPages(form, 2);
        click(button(form, 2));
        const auto twips = [&] { return view(form)->property("twips").toRect(); };
        const auto pixels = [](int t) { return int(std::lround(t / 15.0)); };
        click(button(form, 10));
        click(button(form, 10));
        EXPECT_EQ(twips(), QRect(0, 0, 4820 + 2 * 964, 6600 + 2 * 1320));
        EXPECT_EQ(view(form)->size(), QSize(pixels(4820 + 2 * 964), pixels(6600 + 2 * 1320)));
        // The zoom carries over to the next page.
        click(button(form, 2));
        EXPECT_EQ(tag(form), QStringLiteral("2"));
        EXPECT_EQ(twips().size(), QSize(4820 + 2 * 964, 6600 + 2 * 1320));
        for (int i = 0; i < 7; ++i)
            click(button(form, 9));
        EXPECT_EQ(twips(), QRect(0, 0, 0, 0)) << "seven steps down from +2 reach nothing";
        click(button(form, 9)); // would go below zero: refused
        EXPECT_EQ(twips(), QRect(0, 0, 0, 0));
        EXPECT_TRUE(button(form, 9)->isEnabled());
        click(button(form, 10));
        EXPECT_EQ(twips(), QRect(0, 0, 964, 1320)) << "the view is usable again";
    });
}

TEST_F(WindowPagesTest, AnnullaDropsThePagesAndClosesTheWindow) {
    answer = true;
    bool closedByCancel = false;
    const Outcome out = run([&](FormScansione& form) {
        addPages(form, 3);
        click(button(form, 6));
        closedByCancel = !form.isVisible();
        EXPECT_EQ(form.pages().count(), 0);
    });
    EXPECT_TRUE(closedByCancel);
    EXPECT_EQ(questions, QStringList{"Scansione|Annullare la scansione? Le 3 pagine acquisite "
                                     "andranno perse."});
    ASSERT_TRUE(out.files.has_value());
    EXPECT_TRUE(out.files->isEmpty());
    EXPECT_EQ(out.code, QString());
}

} // namespace
