#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

/// The files of one document output, written under hidden temporary names in their own folder
/// and put in place together by commit(): either every target gets its new file, or every
/// target keeps what it had. A document is thus never left at its final names with only some
/// of its pages, nor mixed with an earlier document's.
///
/// Temporary names are ".<name>.<8 hex digits>.part.<extension>" (the extension stays last,
/// since the component writes by extension); a sweep of leftovers of an interrupted output can
/// match them, and a target's earlier file is kept under such a name while commit() runs.
///
/// Threading: one thread; the object owns its temporary files and removes those still there
/// when it is destroyed.
class StagedFiles {
public:
    StagedFiles() = default;
    ~StagedFiles();
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;

    /// A fresh temporary name for `target`, to be written by the caller before commit().
    /// Throws ScanError when `target` is something a file cannot replace (a directory).
    QString add(const QString& target);

    /// Renames every temporary file over its target. Throws ScanError, with the code of the
    /// system error, when a temporary file is missing, a target has become a directory or a
    /// rename fails; the targets renamed so far then get their earlier files back (or are
    /// removed when they had none).
    void commit();

    /// The targets, in the order they were added.
    QStringList targets() const;

private:
    struct Entry {
        QString target;
        QByteArray temp;
        QByteArray backup;       ///< the target's earlier file while commit() runs
        bool movedAside = false; ///< the backup is the earlier file itself, not a second link
    };
    /// Renames the temporary file over the target, keeping a link to the target's earlier
    /// file; throws ScanError when either fails.
    void place(Entry& e);
    /// Puts the first `placed` targets back as they were before commit().
    void rollBack(size_t placed);

    std::vector<Entry> m_entries;
};
