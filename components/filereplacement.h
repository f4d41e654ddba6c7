#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

// The new content of a file, written beside it and put in its place in one step, so that
// a failure at any point (a full disk, a file size limit, a source that cannot be read, a
// process killed half way) leaves the old file whole. The content goes into a temporary
// file in the target's own folder (rename is atomic only within one file system), named
// ".NAME.XXXXXX.part" with six random characters: created exclusively, so that no file or
// link planted under a guessed name is ever written through, and recognisable as a copy's
// leftover should the process be killed before it could remove it. Committing syncs the
// content, renames it over the target and syncs the folder; a replacement that is never
// committed removes its temporary file.
//
// The target's name is followed through symbolic links (the kernel's own lookup, so the
// protection of links in shared folders holds) to the file they lead to, which is the
// one replaced; the link stays. Hard links to the old file keep the old content.
class FileReplacement
{
public:
    FileReplacement() = default;
    FileReplacement(FileReplacement &&other) noexcept;
    FileReplacement &operator=(FileReplacement &&other) noexcept;
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;
    ~FileReplacement();

    // Finds the file that `target` names and opens its folder; nothing is created yet.
    // Fails (closed, *why set) when the target is there but is no regular file, or when
    // its folder cannot be opened.
    static FileReplacement prepare(const QString &target, QString *why);

    bool isPrepared() const { return m_folder >= 0; }
    // Whether there is an old file, and its stat.
    bool replacesAFile() const { return m_exists; }
    const struct stat &oldFile() const { return m_old; }

    // Creates the temporary file, open for writing, readable by its owner alone until the
    // commit gives it its mode.
    bool create(QString *why);
    bool write(const void *data, qint64 size, QString *why);
    // The new file gets the old one's permission bits (set-id bits left out) and, where the
    // caller may give them, its owner and group; a file that is new gets 0666 less the
    // umask. Then sync, rename over the target, sync the folder. Once the rename is done
    // the new content is in place, even when the folder's sync then fails.
    bool commit(QString *why);

private:
    void discard();

    int m_folder = -1;
    int m_temp = -1;
    QByteArray m_name;
    QByteArray m_tempName;
    bool m_exists = false;
    struct stat m_old = {};
};
