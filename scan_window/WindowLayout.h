#pragma once
#include <QRect>
#include <QString>
#include <span>

// The design of the scan window: where each control stands at design time, in twips
// (15 twips = 1 pixel at 96 dpi). The window is built from this table and only from it.
namespace windowLayout {

/// The window's size in twips.
inline constexpr int formWidth = 7395;
inline constexpr int formHeight = 7515;
/// The container name that stands for the window itself.
inline constexpr const char* window = "FormScansione";

/// One control at its design place.
struct Place {
    const char* name;      ///< the control's name (its objectName)
    const char* container; ///< the name of the control it sits in
    int left, top, width, height;
    const char* caption; ///< the text it shows; nullptr for none (images, containers)

    QRect twips() const { return {left, top, width, height}; }
};

/// Every control of the window, each container before the controls it holds.
std::span<const Place> places();
/// The place of the control named `name`; null when the window has no such control.
const Place* placeOf(const QString& name);

} // namespace windowLayout
