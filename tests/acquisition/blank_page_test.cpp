// Blank sides told from sparse ones on A4 pages at 300 dpi carrying what a feeder scan adds to
// paper, in each of the buffer's pixel formats.
#include "acquisition/BlankPage.h"
#include "support/FedPages.h"

#include <gtest/gtest.h>

namespace {

enum class Format { Grey, Colour, Lineart };

QImage inFormat(const QImage& grey, Format f) {
    switch (f) {
    case Format::Grey:
        return grey;
    case Format::Colour:
        return grey.format() == QImage::Format_RGB888 ? grey
                                                      : grey.convertToFormat(QImage::Format_RGB888);
    case Format::Lineart:
        return lineart(grey.convertToFormat(QImage::Format_Grayscale8));
    }
    return grey;
}

struct SideCase {
    const char* name;
    std::function<QImage()> side;
    Format format;
    bool blank;
};

void PrintTo(const SideCase& c, std::ostream* os) {
    *os << c.name;
}

class BlankSides : public ::testing::TestWithParam<SideCase> {};

TEST_P(BlankSides, Judged) {
    const SideCase& c = GetParam();
    const QImage image = inFormat(c.side(), c.format);
    const BlankVerdict v = judgeBlankPage(image, 300);
    ASSERT_TRUE(v.ok()) << qPrintable(v.error);
    EXPECT_EQ(v.blank, c.blank) << qPrintable(blankPageSummary(v));
    if (!c.blank && !v.crowded) {
        // The mark kept is the one drawn, not a speck or the edge.
        EXPECT_GE(v.largestMm, 1.5);
        EXPECT_TRUE(v.inner.contains(v.largest));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fed, BlankSides,
    ::testing::Values(
        SideCase{"clean", [] { return scannedSide(NoNoise); }, Format::Grey, true},
        SideCase{"specks", [] { return scannedSide(Texture | Specks); }, Format::Grey, true},
        SideCase{"shadows", [] { return scannedSide(EdgeShadows | Texture); }, Format::Grey, true},
        SideCase{"wedge", [] { return scannedSide(Wedge | Specks); }, Format::Grey, true},
        SideCase{"showThrough", [] { return scannedSide(ShowThrough | Texture); }, Format::Grey,
                 true},
        SideCase{"allNoise", [] { return scannedSide(AllNoise); }, Format::Grey, true},
        SideCase{"allNoiseColour", [] { return scannedSide(AllNoise); }, Format::Colour, true},
        SideCase{"allNoiseLineart", [] { return scannedSide(AllNoise); }, Format::Lineart, true},
        SideCase{"frameLineart", [] { return scannedSide(Frame | Specks); }, Format::Lineart, true},
        SideCase{"pageNumberInFrame",
                 [] { return sparseSide(SparseMark::PageNumber, 300, Frame | Specks); },
                 Format::Lineart, false},
        SideCase{"signature", [] { return sparseSide(SparseMark::Signature); }, Format::Grey,
                 false},
        SideCase{"signatureLineart", [] { return sparseSide(SparseMark::Signature); },
                 Format::Lineart, false},
        SideCase{"pageNumber", [] { return sparseSide(SparseMark::PageNumber); }, Format::Grey,
                 false},
        SideCase{"pageNumberLineart", [] { return sparseSide(SparseMark::PageNumber); },
                 Format::Lineart, false},
        SideCase{"stamp", [] { return sparseSide(SparseMark::Stamp); }, Format::Colour, false},
        SideCase{"text", [] { return italianPage(PageKind::Sans).image; }, Format::Grey, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A black and white page whose colour table has 0 black (as some conversions leave it) is read
// the right way round: its paper is not taken for ink, nor its ink for paper.
TEST(BlankPage, MonoWithEitherColourTable) {
    for (const bool blank : {true, false}) {
        QImage mono = lineart(blank ? scannedSide(Specks) : sparseSide(SparseMark::PageNumber));
        mono.invertPixels();
        mono.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        EXPECT_EQ(judgeBlankPage(mono, 300).blank, blank);
    }
}

// Pixels that cannot be judged are an error and never blank: the side is kept.
TEST(BlankPage, BadPixelsAreKept) {
    const QImage paper = scannedSide(NoNoise, 100);
    const struct {
        const char* name;
        BlankPixels pixels;
    } cases[] = {
        {"no data", {nullptr, 100, 100, 100, 300, BlankPixelFormat::Gray8}},
        {"no width", {paper.constBits(), 0, 100, 100, 300, BlankPixelFormat::Gray8}},
        {"short lines", {paper.constBits(), 100, 100, 99, 300, BlankPixelFormat::Gray8}},
        {"colour lines too short",
         {paper.constBits(), 100, 100, 200, 300, BlankPixelFormat::Rgb24}},
        {"unknown format", {paper.constBits(), 100, 100, 100, 300, BlankPixelFormat(9)}},
    };
    for (const auto& c : cases) {
        const BlankVerdict v = judgeBlankPage(c.pixels);
        EXPECT_FALSE(v.ok()) << c.name;
        EXPECT_FALSE(v.blank) << c.name;
    }
    // A black sheet (an open lid) is no paper: kept.
    QImage black(paper.size(), QImage::Format_Grayscale8);
    black.fill(10);
    EXPECT_FALSE(judgeBlankPage(black, 100).blank);
}

// The same side at 150 and 600 dpi: the sizes that decide are in millimetres, not pixels.
TEST(BlankPage, ResolutionDoesNotChangeTheVerdict) {
    for (const int dpi : {150, 600}) {
        EXPECT_TRUE(judgeBlankPage(scannedSide(Specks | EdgeShadows, dpi), dpi).blank) << dpi;
        EXPECT_FALSE(judgeBlankPage(sparseSide(SparseMark::PageNumber, dpi), dpi).blank) << dpi;
    }
}

} // namespace
