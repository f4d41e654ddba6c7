#pragma once

#include "components/briskroutinescore.h"

#include <QObject>

// The utility routines component: no window of its own, owned by the object that creates
// it. Version always reads "1.1"; a value written to it is kept in FFoo and never read.
class TBriskRoutines : public QObject, public BriskRoutinesCore
{
    Q_OBJECT
    Q_PROPERTY(QString Version READ Version WRITE setVersion STORED true)

public:
    explicit TBriskRoutines(QObject *AOwner);

    QString Version() const { return FVersion; }
    void setVersion(const QString &value) { FFoo = value; }

private:
    QString FVersion;
    QString FFoo;
};

// The simple message box of the routines: the text, one OK button, no icon, the
// application's title as caption, centred on the screen; returns when it is closed.
void showRoutineMessage(const QString &text);
