#include "scan_window/PageStore.h"
#include "common/VbConvert.h"
#include <algorithm>

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
    changed({});
    return true;
}

bool PageStore::remove(const QString& key) {
    const QSet<int> before = referencedImages();
    if (m_items.remove(key) == 0)
        return false;
    changed(before);
    return true;
}

void PageStore::storePage(int n, int k) {
    const QSet<int> before = referencedImages();
    m_items.insert(keyOf(n), itemOf(k));
    changed(before);
}

QSet<int> PageStore::referencedImages() const {
    QSet<int> referenced;
    if (!m_released)
        return referenced;
    for (const QString& item : m_items) {
        if (const std::optional<int16_t> k = toInt16(QStringView(item).mid(1)))
            referenced.insert(*k);
    }
    return referenced;
}

void PageStore::changed(const QSet<int>& before) const {
    // The record of the pages first: should we die in between, it names no file that the
    // release below is about to remove.
    if (m_changed)
        m_changed();
    if (!m_released)
        return;
    QVector<int> released;
    const QSet<int> now = referencedImages();
    for (int k : before) {
        if (!now.contains(k))
            released.append(k);
    }
    if (released.isEmpty())
        return;
    std::sort(released.begin(), released.end());
    m_released(released);
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
    const QSet<int> before = referencedImages();
    m_items = std::move(renumbered);
    changed(before);
    return true;
}

void PageStore::clear() {
    const QSet<int> before = referencedImages();
    m_items.clear();
    changed(before);
}

QVector<int32_t> PageStore::images() const {
    QVector<int32_t> list;
    for (int n = 1; n <= count(); ++n)
        list.append(imageOf(n).value_or(-1));
    return list;
}
