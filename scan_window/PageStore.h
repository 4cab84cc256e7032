#pragma once
#include "common/Export.h"
#include <QHash>
#include <QSet>
#include <QString>
#include <QVector>
#include <functional>
#include <optional>

/// The page store Pagine: a keyed collection of texts. The key of page n is "PAG_" & n, the
/// item "I" & k with k the zero-based image index in the component's buffer. Entries are
/// looked up by key; after every operation the keys are those of pages 1 to count.
class SCANSIONE_EXPORT PageStore {
public:
    /// Called after an operation with the images that no page refers to any more (a page
    /// deleted or replaced, the store emptied), so that their owner can let go of them.
    using ReleasedImages = std::function<void(const QVector<int>& images)>;

    explicit PageStore(ReleasedImages released = {}) : m_released(std::move(released)) {}

    /// The key of page n: "PAG_" & n.
    static QString keyOf(int n) { return QStringLiteral("PAG_%1").arg(n); }
    /// The item of image k: "I" & k.
    static QString itemOf(int k) { return QStringLiteral("I%1").arg(k); }

    /// Number of pages stored.
    int count() const;
    /// The item under `key`, or nullopt when there is none.
    std::optional<QString> item(const QString& key) const;
    /// Adds `item` under `key`; false (and no change) when the key exists.
    bool add(const QString& key, const QString& item);
    /// Removes the entry; false when there was none.
    bool remove(const QString& key);
    /// Stores image k as page n: the entry of page n, if any, is replaced.
    void storePage(int n, int k);
    /// The image index k of page n (its item "I" & k), or nullopt when page n has no entry
    /// or its item does not hold a 16-bit number.
    std::optional<int> imageOf(int n) const;
    /// Drops page n and moves every later page one number down, keeping their images, so
    /// the keys stay those of pages 1 to count. False (and no change) when there is no page n.
    bool removePage(int n);
    /// Drops every page.
    void clear();

    /// The image index of each page, page 1 first (-1 for a page without one).
    QVector<int32_t> images() const;
    /// Called after every change of the pages (the component records them for recovery).
    void setChangeHandler(std::function<void()> handler) { m_changed = std::move(handler); }

private:
    /// The images the pages refer to (empty when nobody listens for released ones).
    QSet<int> referencedImages() const;
    /// Tells the listeners: the change handler, then the images of `before` that no page
    /// refers to now.
    void changed(const QSet<int>& before) const;

    QHash<QString, QString> m_items;
    ReleasedImages m_released;
    std::function<void()> m_changed;
};
