#pragma once
// The error trap of the scan window and its host. Most of their routines resume with the next
// statement after a step that fails: a component call that fails outright throws (ScanError,
// or another std::exception), and a step run through these helpers swallows it and lets the
// routine go on. A routine without a trap of its own simply lets the exception pass to its
// caller's trap. No exception leaves a Qt event handler: those run their work through here.
#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

/// Runs one step of a routine whose error trap resumes with the next statement: an exception
/// from the step is swallowed. Returns false when it threw.
template <class Step> bool resumeNext(Step&& step) {
    try {
        std::forward<Step>(step)();
        return true;
    } catch (const std::exception&) {
        // ScanError derives from std::exception: both are the "resume next" of the trap.
        return false;
    }
}

/// The session's component; throws ScanError when there is none (the window not loaded, or
/// the component released), so that a trap sees a failure instead of a null call.
inline ScanComponent& requireComponent(ScanComponent* component) {
    if (!component)
        throw ScanError(QStringLiteral("acquisition component not loaded"));
    return *component;
}

/// Calls `method` of `component` as one step under the trap. Returns its result, or nullopt
/// when it threw or there is no component; for a method without a result, whether it ran.
template <class Method, class... Args>
auto tryCall(ScanComponent* component, Method method, Args&&... args) {
    using Result = std::invoke_result_t<Method, ScanComponent&, Args...>;
    if constexpr (std::is_void_v<Result>) {
        return resumeNext(
            [&] { std::invoke(method, requireComponent(component), std::forward<Args>(args)...); });
    } else {
        std::optional<std::decay_t<Result>> result;
        resumeNext([&] {
            result = std::invoke(method, requireComponent(component), std::forward<Args>(args)...);
        });
        return result;
    }
}
