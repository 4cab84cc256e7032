#pragma once
#include <QHash>
#include <QString>
#include <optional>

/// The page store Pagine: a keyed collection of texts. The key of page n is "PAG_" & n, the
/// item "I" & k with k the zero-based image index in the component's buffer. Entries are
/// looked up by key; after every operation the keys are those of pages 1 to count.
class PageStore {
public:
    static QString keyOf(int n) { return QStringLiteral("PAG_%1").arg(n); }
    static QString itemOf(int k) { return QStringLiteral("I%1").arg(k); }

    int count() const;
    /// The item under `key`, or nullopt when there is none.
    std::optional<QString> item(const QString& key) const;
    /// Adds `item` under `key`; false (and no change) when the key exists.
    bool add(const QString& key, const QString& item);
    /// Removes the entry; false when there was none.
    bool remove(const QString& key);
    /// Stores image k as page n: the entry of page n, if any, is replaced.
    void storePage(int n, int k);
    void clear();

private:
    QHash<QString, QString> m_items;
};
