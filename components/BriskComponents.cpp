#include "components/BriskComponents.h"

#include <QGuiApplication>
#include <QMessageBox>

TBriskRoutines::TBriskRoutines(QObject *AOwner) : QObject(AOwner), FVersion(QStringLiteral("1.1"))
{
    ShowMessage = showRoutineMessage;
}

void showRoutineMessage(const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok);
    box.exec();
}
