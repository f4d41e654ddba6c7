#pragma once

#include "link/linkclient.h"

#include <QString>
#include <QWidget>

// The link client and, as its window face, the technicians' link test window. The
// screens call the exchanges through the global IPsend and read its reply record.
class TIPsend : public QWidget, public LinkClient
{
    Q_OBJECT
public:
    explicit TIPsend(QWidget *parent = nullptr);

    // Creation handler: reads the link settings file at settingsPath (see readSettings);
    // a missing file throws FileError after the window is complete.
    virtual void FormCreate(const QString &settingsPath);

protected:
    // Server address and port go to the footers of both customer screens.
    void settingsRead(const QString &server, const QString &port) override;
};
