#pragma once
#include "component_base/DeviceLayer.h"
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVector>
#include <optional>

/// An injected fault: the status the virtual scanner reports.
struct VirtualFault {
    int32_t code = 0;
    QString text;
};

/// A fault that strikes at a given image of every acquisition (1-based).
struct VirtualPageFault {
    int page = 0;
    VirtualFault fault;
};

/// One virtual scanner as the JSON file describes it.
struct VirtualScannerSpec {
    QString name;
    QVector<int32_t> pixelTypes{0, 1, 2};
    QVector<int32_t> resolutions{75, 150, 200, 300, 600}; ///< a list, unless `resolutionRange`
    bool resolutionRange = false;
    double resolutionMin = 0, resolutionMax = 0, resolutionStep = 1;
    int32_t defaultResolution = 0; ///< 0: 300 when offered, else the lowest
    QVector<int32_t> units{0, 1, 5};
    QVector<int32_t> pageSizes{1, 5, 11};
    double brightnessMin = -1000, brightnessMax = 1000, brightnessStep = 1, brightnessDefault = 0;
    double contrastMin = -1000, contrastMax = 1000, contrastStep = 1, contrastDefault = 0;
    bool feederPresent = false;
    bool paperDetectable = false;
    int sheets = 0; ///< sheets loaded in the feeder (refilled once it runs empty)
    // The stack as an office loads it, by sheet of the stack (from 1; the same sheets again
    // each time the stack is put back).
    QVector<int> blankBacks;        ///< back is blank paper: show-through, specks, edge shadow
    QVector<int> upsideDown;        ///< fed upside down: both sides turned 180°
    QMap<int, double> skewDegrees;  ///< fed askew by this angle, anticlockwise positive
    bool duplex = false;
    int pageDelayMs = 0; ///< time taken to scan each image
    std::optional<VirtualFault> openFault;
    std::optional<VirtualPageFault> errorAfterPage; ///< ends the batch after that image
    std::optional<VirtualPageFault> jamOnPage;      ///< that image jams and is not delivered
    std::optional<VirtualFault> feederEmpty;        ///< reports paper but feeds none
};

/// The whole file.
struct VirtualScannerFile {
    QVector<VirtualScannerSpec> scanners;
    std::optional<VirtualFault> startFault; ///< the layer itself fails to start
    int startDelayMs = 0;                   ///< the layer takes this long to start
};

/// The most bytes read from a virtual scanner file. A file describing even hundreds of
/// scanners is a few tens of kilobytes; a bigger one is refused rather than read.
constexpr qsizetype kVirtualScannerFileMaxBytes = 1024 * 1024;

/// Parses the JSON text of a virtual scanner file. Names of pixel types, units and page sizes
/// may be given as TWAIN codes or as their names ("RGB", "centimeters", "A4"). Throws
/// ScanError with a message naming the scanner and field at fault.
VirtualScannerFile parseVirtualScanners(const QByteArray& json);
