#include "scan_window/PageStore.h"
#include "common/VbConvert.h"

int PageStore::count() const {
    return int(m_items.size());
}

std::optional<QString> PageStore::item(const QString& key) const {
    auto it = m_items.constFind(key);
    if (it == m_items.constEnd())
        return std::nullopt;
    return *it;
}

bool PageStore::add(const QString& key, const QString& item) {
    if (m_items.contains(key))
        return false;
    m_items.insert(key, item);
    changed();
    return true;
}

bool PageStore::remove(const QString& key) {
    if (m_items.remove(key) == 0)
        return false;
    changed();
    return true;
}

void PageStore::storePage(int n, int k) {
    m_items.insert(keyOf(n), itemOf(k));
    changed();
}

std::optional<int> PageStore::imageOf(int n) const {
    const std::optional<QString> text = item(keyOf(n));
    if (!text)
        return std::nullopt;
    // Readers skip the item's first character ("I") whatever it is.
    const std::optional<int16_t> k = toInt16(QStringView(*text).mid(1));
    if (!k)
        return std::nullopt;
    return int(*k);
}

bool PageStore::removePage(int n) {
    const int total = count();
    if (n < 1 || n > total || !m_items.contains(keyOf(n)))
        return false;
    // Built into a fresh collection, so that a store with a gap (which no operation leaves)
    // still ends with consecutive keys instead of an entry overwriting its neighbour.
    QHash<QString, QString> renumbered;
    int next = 1;
    for (int i = 1; i <= total; ++i) {
        if (i == n)
            continue;
        auto it = m_items.constFind(keyOf(i));
        if (it == m_items.constEnd())
            continue;
        renumbered.insert(keyOf(next++), *it);
    }
    m_items = std::move(renumbered);
    changed();
    return true;
}

void PageStore::clear() {
    m_items.clear();
    changed();
}

QVector<int32_t> PageStore::images() const {
    QVector<int32_t> list;
    for (int n = 1; n <= count(); ++n)
        list.append(imageOf(n).value_or(-1));
    return list;
}
