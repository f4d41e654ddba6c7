#pragma once

#include <QString>

namespace platform {

// The name under which a running kiosk makes itself known to a copy started after it.
inline constexpr const char *kInstanceGuardName = "Orvanta_IsRunning";

// Marks this process as the running kiosk for as long as the object lives.
//
// The mark is a Unix socket in the abstract namespace: the kernel owns the name, so it
// disappears with the process however the process ends (kill -9 included) and never
// leaves a stale file behind. Only a name that is taken refuses the start; any other
// failure of the mechanism lets the kiosk start without the protection.
class SingleInstanceGuard
{
public:
    explicit SingleInstanceGuard(const QString &name = QString::fromLatin1(kInstanceGuardName));
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard &) = delete;
    SingleInstanceGuard &operator=(const SingleInstanceGuard &) = delete;

    // True when another process held the name at the time of the claim.
    bool alreadyRunning() const { return m_alreadyRunning; }
    // True when this process holds the name.
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
    bool m_alreadyRunning = false;
};

} // namespace platform
