#pragma once

#include <QString>

namespace platform {

// The name under which a running kiosk makes itself known to a copy started after it.
inline constexpr const char *kInstanceGuardName = "Orvanta_IsRunning";

// The installed kiosk unit's runtime folder (RuntimeDirectory=orvanta). A copy started by
// hand as the kiosk's own account, beside the unit's kiosk, finds the unit's guard there.
inline constexpr const char *kKioskRuntimeFolder = "/run/orvanta";

// Marks this process as the running kiosk for as long as the object lives.
//
// The mark is an exclusive lock (flock) on a file in a folder that no other account may
// write, so nobody but this account (and root) can hold it or put anything in its place.
// The kernel drops the lock with the process however the process ends (kill -9
// included); a file left behind refuses nothing. The folder is the first of these that
// belongs to this account and that neither its group nor others may write:
//   $RUNTIME_DIRECTORY  the unit's runtime folder (/run/orvanta for the installed kiosk)
//   /run/orvanta        the same folder, for a copy started by hand as the kiosk's account
//   $XDG_RUNTIME_DIR    the account's login runtime folder
//   <temp>/orvanta-UID  made for a build run by hand elsewhere (mode 0700)
// The lock file's name carries the network namespace, so that the guard's reach is one
// namespace as the kiosk's ports are: a kiosk in a namespace of its own (unshare -n, as
// the tests run them) is a kiosk of its own. Only a lock that is held refuses the start;
// when no folder can be used or the lock cannot be taken for another reason, the kiosk
// starts without the protection.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString &name = QString::fromLatin1(kInstanceGuardName));
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // True when another process held the lock at the time of the claim.
    bool alreadyRunning() const { return m_alreadyRunning; }
    // True when this process holds the lock.
    bool held() const { return m_fd >= 0; }
    // The lock file, empty when no folder could be used.
    const QString &path() const { return m_path; }

    // The folder the guard would use now, empty when none is fit (see above).
    static QString lockFolder();

private:
    int m_fd = -1;
    bool m_alreadyRunning = false;
    QString m_path;
};

} // namespace platform
