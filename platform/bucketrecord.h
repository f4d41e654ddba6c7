#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace platform {

// A bucket from the first step of its count to the end of its usage report, as the
// journal names it.
struct Bucket
{
    QString started;    // local time of the first step, ISO 8601 with milliseconds
    QString screen;     // "voucher" or "card"
    QString reference;  // as the journal shows it: the last four characters, made fit
    int issueGroup = 0; // the card's size group; 0 for a voucher
    int balls = 0;

    // "screen=voucher ref=0040 group=- balls=40 started=2026-12-11T10:02:03.456"
    QString journalFields() const;
    // The record file's text: one "name=value" line per field.
    QByteArray recordText() const;
    // Reads a record file's text; fields that are missing or unreadable stay empty (0).
    // Every text is made fit for one journal line, whatever the file held.
    static Bucket fromRecordText(const QByteArray &text);
};

// The record of the bucket under way, one small file in the kiosk's state folder. Written
// whole (a fresh file, synced, renamed over the name, the folder synced) before the first
// step of a count and removed when its usage report's exchange has ended, so that a bucket
// whose count a crash, a kill or a power cut cut short is still found at the next start.
class BucketRecordFile
{
public:
    // folder must exist; the file is folder/bucket-under-way, readable by its owner only.
    explicit BucketRecordFile(QString folder);

    // False with the reason in error() when the record could not be written and synced.
    bool write(const Bucket &bucket);
    // Removes the record (and a half-written one); the removal is synced too.
    bool remove();
    // The record's text when one is there (at most a few KiB of it), else nothing.
    std::optional<QByteArray> read() const;

    QString path() const { return m_path; }
    QString error() const { return m_error; }

    static constexpr const char *fileName = "bucket-under-way";

private:
    bool syncFolder();

    QString m_folder;
    QString m_path;
    QString m_error;
};

// Makes sure the folder can keep the records safely: creates it (for the kiosk's account
// only) when it is missing, and refuses a folder that another account owns or that other
// accounts may write into, where anyone could plant or replace a record. Empty when the
// folder is fit; otherwise why it is not.
QString prepareStateFolder(const QString &folder);

} // namespace platform
