#pragma once
// The image format a page of each TWAIN pixel type comes in, for the tests that scan or render
// pages in every type.
#include "component_base/TwainCodes.h"
#include <QImage>

inline QImage::Format pageFormatOf(int32_t pixelType) {
    switch (pixelType) {
    case twain::BW:
        return QImage::Format_Mono;
    case twain::Gray:
        return QImage::Format_Grayscale8;
    case twain::RGB:
        return QImage::Format_RGB888;
    }
    return QImage::Format_Invalid;
}
