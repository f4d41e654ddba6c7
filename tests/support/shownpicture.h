#pragma once

#include "screens/storedpicture.h"

#include <QLabel>

// Whether a picture label has its picture ready to draw: decoded into the label, or, for
// a background that lives in its window's backing store, painted there.
inline bool pictureReady(const QLabel *label)
{
    if (!label->pixmap().isNull())
        return true;
    const auto *stored =
        label->findChild<const StoredPicture *>(QString(), Qt::FindDirectChildrenOnly);
    return stored && stored->held();
}
