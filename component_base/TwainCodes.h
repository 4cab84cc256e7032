#pragma once
#include <cstdint>

class QSizeF;

// The TWAIN codes the component speaks: capability ids, container kinds, units, pixel types
// and supported-size codes. Values are those of the TWAIN standard.
namespace twain {

enum Container : int32_t { OneValue = 1, Array = 2, Range = 3, Enumeration = 4 };

enum Unit : int32_t { Inches = 0, Centimeters = 1, Picas = 2, Points = 3, Twips = 4, Pixels = 5 };

enum PixelType : int32_t { BW = 0, Gray = 1, RGB = 2 };

enum SupportedSize : int32_t {
    SizeNone = 0,
    A4 = 1,
    B5Letter = 2,
    USLetter = 3,
    USLegal = 4,
    A5 = 5,
    B4 = 6,
    B6 = 7,
    USLedger = 9,
    USExecutive = 10,
    A3 = 11,
    B3 = 12,
    A6 = 13,
    C4 = 14,
    C5 = 15,
    C6 = 16
};

enum Cap : uint16_t {
    CAP_XFERCOUNT = 0x0001,
    ICAP_COMPRESSION = 0x0100,
    ICAP_PIXELTYPE = 0x0101,
    ICAP_UNITS = 0x0102,
    ICAP_XFERMECH = 0x0103,
    CAP_FEEDERENABLED = 0x1002,
    CAP_FEEDERLOADED = 0x1003,
    CAP_SUPPORTEDCAPS = 0x1005,
    CAP_AUTOFEED = 0x1007,
    CAP_INDICATORS = 0x100B,
    CAP_PAPERDETECTABLE = 0x100D,
    CAP_UICONTROLLABLE = 0x100E,
    CAP_DEVICEONLINE = 0x100F,
    CAP_DUPLEX = 0x1012,
    CAP_DUPLEXENABLED = 0x1013,
    ICAP_BRIGHTNESS = 0x1101,
    ICAP_CONTRAST = 0x1103,
    ICAP_PHYSICALWIDTH = 0x1111,
    ICAP_PHYSICALHEIGHT = 0x1112,
    ICAP_XRESOLUTION = 0x1118,
    ICAP_YRESOLUTION = 0x1119,
    ICAP_SUPPORTEDSIZES = 0x1122,
    ICAP_THRESHOLD = 0x1123,
    ICAP_BITDEPTH = 0x112B,
    ICAP_JPEGQUALITY = 0x1153,
    // TWAIN has no capability for "a feeder is fitted"; ours lives in the custom range.
    CUSTOM_FEEDERPRESENT = 0x8001,
};

/// How many of TWAIN unit `unit` make one inch; Pixels use `dpi`. 0 for an unknown unit or
/// pixels without a resolution: the caller decides what such a frame means.
inline double unitsPerInch(int32_t unit, double dpi) {
    switch (unit) {
    case Inches:
        return 1;
    case Centimeters:
        return 2.54;
    case Picas:
        return 6;
    case Points:
        return 72;
    case Twips:
        return 1440;
    case Pixels:
        return dpi > 0 ? dpi : 0;
    default:
        return 0;
    }
}

} // namespace twain

/// The width and height in inches of TWAIN supported-size `code`; an empty size for an
/// unknown code (or SizeNone).
QSizeF pageSizeInches(int32_t code);
