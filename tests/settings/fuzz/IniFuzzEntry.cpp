// One input of the INI fuzzer: the bytes are a settings file. Besides surviving the input,
// the reader and writer must agree with each other; a disagreement aborts so that the fuzzer
// keeps the input.
#include "settings/IniDocument.h"
#include "settings/ScanSettings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "INI fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(IniDocument::maxFileBytes))
        return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    IniDocument document = IniDocument::fromBytes(bytes);

    // Writing back an untouched document and reading it again changes nothing more.
    const QByteArray once = document.toBytes();
    check(IniDocument::fromBytes(once).toBytes() == once, "second round trip changed the bytes");

    // Every listed key has a value, and the one-pass index agrees with the single lookup.
    const QString main = QStringLiteral("MAIN");
    const QStringList keys = document.keys(main);
    const QHash<QString, QString> values = document.sectionValues(main);
    for (const QString& key : keysThroughBuffer(keys)) {
        const std::optional<QString> value = document.value(main, key);
        check(value.has_value(), "a listed key has no value");
        check(values.value(key.toCaseFolded()) == *value, "index and lookup disagree");
        check(valueThroughBuffer(*value).size() <= 255, "value longer than its buffer");
    }
    qsizetype used = 1;
    for (const QString& key : keysThroughBuffer(keys))
        used += key.size() + 1;
    check(used <= 4096, "key list overflows its buffer");

    ScanSettings record{QString()};
    loadScanSettings(record, document);

    // A write puts exactly the written value where the reader finds it, and leaves the other
    // sections alone. The value is taken from the end of the input.
    const QString value = QString::fromLatin1(bytes.right(24));
    const QStringList otherBefore = document.keys(QStringLiteral("ALTRO"));
    IniDocument written = document;
    if (written.setValue(main, QStringLiteral("Formato"), value)) {
        const IniDocument reread = IniDocument::fromBytes(written.toBytes());
        check(reread.value(main, QStringLiteral("Formato")) == value,
              "written value not read back");
        check(reread.keys(QStringLiteral("ALTRO")) == otherBefore, "another section changed");
    } else {
        check(value.contains(u'\n') || value.contains(u'\r') || value.contains(QChar(0)),
              "a plain value was refused");
    }
    return 0;
}
