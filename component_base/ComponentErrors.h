#pragma once
#include "component_base/DeviceLayer.h"
#include "component_base/ScanError.h"
#include <QString>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

// The component's own error codes, reported through LastErrorCode. Device layers report their
// own codes (SANE status, a virtual scanner's injected fault), which pass through unchanged;
// ours sit in a block of their own so that the two never read alike.
//
// One convention inside the component: a call that can fail returns a DeviceStatus (or a
// Result when it also gives a value), never an out-parameter. Exceptions are the contract of
// the component's public calls and of the writers, which throw ScanError when they fail
// outright; inside, attempt() turns a writer's ScanError into a status at the call, and only
// the public call at the top raises one again.
namespace componentError {

enum Code : int32_t {
    None = 0,
    NoSourceManager = 1001, ///< OpenSourceManager has not started any layer
    NoSource = 1002,        ///< no source is listed or selected
    SourceNotOpen = 1003,   ///< the call needs an open source
    Busy = 1004,            ///< an acquisition is running
    NotSupported = 1005,    ///< the source does not have this capability
    BadValue = 1006,        ///< a value out of range or not among those offered
    ImageLimit = 1007,      ///< an image beyond ImageLimit was refused
    BadIndex = 1008,        ///< an image index out of range
    WriteFailed = 1009,     ///< a file could not be written
    ReadFailed = 1010,      ///< a cached page could not be read back
    OpenFailed = 1011,      ///< the device could not be opened
    LayerFailed = 1012,     ///< a device layer could not be started
    DiskFull = 1013,        ///< a file could not be written: no space left (or over quota)
    FileTooLarge = 1014,    ///< a file could not be written: larger than the system allows
    AccessDenied = 1015,    ///< a file could not be written: no permission, or read-only disk
};

/// The Italian words for `code` as they open a sentence: the one wording of each code, which
/// status() and the window both use. Empty for None and for codes not ours.
QString wording(Code code);

/// The status of one of our codes, with its Italian text (shown to the user by the window).
DeviceStatus status(Code code, const QString& detail = QString());

/// Why a file could not be written, in the words that follow a message of the window
/// ("Impossibile salvare il documento: ..."): for a full disk, a size limit or a refused
/// permission, which the user can act on, the wording of the code; else `text`.
QString writeFailureReason(int32_t code, const QString& text);

/// The status of a writer's ScanError: a write failure keeps its code (the window tells the
/// user which), any other code becomes `fallback`; the text is the writer's, after the words
/// of the code.
DeviceStatus statusOf(const ScanError& error, Code fallback = WriteFailed);

/// The code of a write that failed with the system error `err`: DiskFull, FileTooLarge,
/// AccessDenied, or WriteFailed for any other error. Thread-safe.
Code writeFailure(int err);

/// Whether `code` is one of the codes of a write that failed (WriteFailed and the codes
/// writeFailure gives). Thread-safe.
bool isWriteFailure(int32_t code);

/// A value, or the status of why there is none.
template <typename T> class Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    /// A failure: `failure` is not ok.
    Result(DeviceStatus failure) : m_failure(std::move(failure)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const T& operator*() const { return *m_value; }
    const T* operator->() const { return &*m_value; }
    /// Ok with a value, else why not.
    const DeviceStatus& status() const { return m_failure; }

private:
    std::optional<T> m_value;
    DeviceStatus m_failure;
};

/// Runs `work`, a writer's call that throws ScanError by its contract, and gives back how it
/// went: ok (with what `work` returns, as a Result), or the status of what it threw.
template <typename Work> auto attempt(Work&& work, Code fallback = WriteFailed) {
    using Value = std::invoke_result_t<Work>;
    if constexpr (std::is_void_v<Value>) {
        try {
            std::forward<Work>(work)();
        } catch (const ScanError& e) {
            return statusOf(e, fallback);
        }
        return DeviceStatus{};
    } else {
        try {
            return Result<Value>(std::forward<Work>(work)());
        } catch (const ScanError& e) {
            return Result<Value>(statusOf(e, fallback));
        }
    }
}

} // namespace componentError
