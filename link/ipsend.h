#pragma once

#include <QString>
#include <QWidget>

// The link client and, as its window face, the technicians' link test window.
class TIPsend : public QWidget
{
    Q_OBJECT
public:
    explicit TIPsend(QWidget *parent = nullptr);
    // Creation handler: reads the link settings file at settingsPath.
    void FormCreate(const QString &settingsPath);
};
