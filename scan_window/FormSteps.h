#pragma once
// The scan window's own steps under the error trap, for its source files: the members that
// reach the session's component through ErrorTrap.h. Kept out of FormScansione.h, which hosts
// include, so that the trap stays the window's own business.
#include "scan_window/ErrorTrap.h"
#include "scan_window/FormScansione.h"

#include <utility>

inline ScanComponent& FormScansione::requireComponent() const {
    return ::requireComponent(VSTSCAN.get());
}

template <class Method, class... Args> auto FormScansione::tryCall(Method method, Args&&... args) {
    return ::tryCall(VSTSCAN.get(), method, std::forward<Args>(args)...);
}
