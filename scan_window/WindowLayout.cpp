#include "scan_window/WindowLayout.h"
#include <array>

namespace windowLayout {

namespace {

// clang-format off
constexpr std::array<Place, 42> kPlaces{{
    {"PicImage",        window,        120,  0,    4820, 6600, nullptr},
    {"ImgPreview",      "PicImage",    0,    0,    1695, 1095, nullptr},
    {"Picture1",        window,        120,  6720, 4815, 735,  nullptr},
    {"PctButtons",      window,        4995, 0,    2295, 7455, nullptr},
    {"Line1",           "PctButtons",  1200, 0,    0,    7440, nullptr},
    {"FrameImpPDF",     "PctButtons",  1350, 5265, 735,  1005, nullptr},
    {"LabelPicPDF",     "FrameImpPDF", 45,   585,  690,  375,  "Importa PDF"},
    {"ImgButtons_0",    "PctButtons",  1560, 120,  390,  390,  nullptr},
    {"ImgButtons_1",    "PctButtons",  360,  120,  390,  390,  nullptr},
    {"ImgButtons_2",    "Picture1",    4200, 0,    390,  390,  nullptr},
    {"ImgButtons_3",    "Picture1",    240,  0,    390,  390,  nullptr},
    {"ImgButtons_4",    "PctButtons",  360,  1920, 390,  390,  nullptr},
    {"ImgButtons_5",    "PctButtons",  360,  3120, 390,  390,  nullptr},
    {"ImgButtons_6",    "PctButtons",  1560, 1080, 390,  390,  nullptr},
    {"ImgButtons_7",    "FrameImpPDF", 135,  135,  390,  390,  nullptr},
    {"ImgButtons_9",    "Picture1",    1680, 120,  255,  255,  nullptr},
    {"ImgButtons_10",   "Picture1",    2640, 120,  255,  255,  nullptr},
    {"ImgButtons_11",   "PctButtons",  360,  1080, 390,  390,  nullptr},
    {"ImgButtons_12",   "PctButtons",  1560, 6480, 390,  390,  nullptr},
    {"ImgButtons_13",   "PctButtons",  360,  6480, 390,  390,  nullptr},
    {"LblButtons_0",    "PctButtons",  1200, 600,  1110, 180,  "Conferma"},
    {"LblButtons_1",    "PctButtons",  0,    600,  1110, 420,  "Scansione documento"},
    {"LblButtons_2",    "Picture1",    3960, 480,  750,  180,  "Avanti"},
    {"LblButtons_3",    "Picture1",    -120, 480,  1110, 180,  "Indietro"},
    {"LblButtons_4",    "PctButtons",  0,    2400, 1110, 360,  "Sostituisci pagina"},
    {"LblButtons_5",    "PctButtons",  120,  3600, 945,  360,  "Elimina pagina"},
    {"LblButtons_6",    "PctButtons",  1200, 1560, 1110, 180,  "Annulla"},
    {"LblButtons_7",    "Picture1",    1920, 120,  735,  180,  "Zoom"},
    {"LblButtons_11",   "PctButtons",  0,    1560, 1110, 180,  "Ruota"},
    {"LblButtons_12",   "PctButtons",  1320, 6960, 945,  420,  "Scanners disponibili"},
    {"LblButtons_13",   "PctButtons",  120,  6960, 945,  420,  "Scanners disponibili"},
    {"CheckVisualizza", "PctButtons",  135,  4680, 780,  645,  "Apri Doc"},
    {"chkFronteRetro",  "PctButtons",  120,  5400, 975,  375,  "Fronte retro"},
    {"chkADF",          "PctButtons",  120,  5880, 975,  375,  "Forza ADF"},
    {"lblPOS_0",        "PctButtons",  120,  120,  405,  300,  "POS"},
    {"lblPOS_1",        "PctButtons",  120,  600,  405,  300,  "POS"},
    {"lblPOS_2",        "PctButtons",  120,  1080, 405,  300,  "POS"},
    {"lblPOS_3",        "PctButtons",  240,  1560, 405,  300,  "POS"},
    {"lblPOS_4",        "PctButtons",  120,  1920, 405,  300,  "POS"},
    {"lblPOS_5",        "PctButtons",  120,  2400, 405,  300,  "POS"},
    {"lblPOS_6",        "PctButtons",  120,  3120, 405,  300,  "POS"},
    {"lblPOS_7",        "PctButtons",  120,  3600, 405,  300,  "POS"},
}};
// clang-format on

} // namespace

std::span<const Place> places() {
    return kPlaces;
}

const Place* placeOf(const QString& name) {
    for (const Place& p : kPlaces) {
        if (name == QLatin1String(p.name))
            return &p;
    }
    return nullptr;
}

} // namespace windowLayout
