#pragma once
// The image format a page of each TWAIN pixel type comes in, for the tests that scan or render
// pages in every type.
#include "component_base/TwainCodes.h"
#include <QImage>

inline QImage::Format pageFormatOf(int32_t pixelType) {
    return pixelType == twain::BW     ? QImage::Format_Mono
           : pixelType == twain::Gray ? QImage::Format_Grayscale8
           : pixelType == twain::RGB  ? QImage::Format_RGB888
                                      : QImage::Format_Invalid;
}
