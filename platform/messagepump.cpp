#include "platform/messagepump.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

namespace platform {

void pumpMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void blockingPause(int milliseconds)
{
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace platform
