#include "component_base/TwainCodes.h"

#include <QSizeF>

QSizeF pageSizeInches(int32_t code) {
    double w = 0, h = 0; // millimetres
    switch (code) {
    case twain::A4:
        w = 210;
        h = 297;
        break;
    case twain::B5Letter:
        w = 182;
        h = 257;
        break;
    case twain::USLetter:
        w = 215.9;
        h = 279.4;
        break;
    case twain::USLegal:
        w = 215.9;
        h = 355.6;
        break;
    case twain::A5:
        w = 148;
        h = 210;
        break;
    case twain::B4:
        w = 250;
        h = 353;
        break;
    case twain::B6:
        w = 125;
        h = 176;
        break;
    case twain::USLedger:
        w = 279.4;
        h = 431.8;
        break;
    case twain::USExecutive:
        w = 184.15;
        h = 266.7;
        break;
    case twain::A3:
        w = 297;
        h = 420;
        break;
    case twain::B3:
        w = 353;
        h = 500;
        break;
    case twain::A6:
        w = 105;
        h = 148;
        break;
    case twain::C4:
        w = 229;
        h = 324;
        break;
    case twain::C5:
        w = 162;
        h = 229;
        break;
    case twain::C6:
        w = 114;
        h = 162;
        break;
    default:
        return {};
    }
    return QSizeF(w / 25.4, h / 25.4);
}
