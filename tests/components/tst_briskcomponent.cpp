#include "components/BriskComponents.h"
#include "shell/mainscreen.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QMetaProperty>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// What a modal message box showed, read while it is open; the box is then closed with OK.
struct SeenBox
{
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::Critical;
    QList<QMessageBox::StandardButton> buttons;
};

void answerNextBox(SeenBox *seen)
{
    QTimer::singleShot(20, [seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            answerNextBox(seen);
            return;
        }
        seen->text = box->text();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            seen->buttons << box->standardButton(button);
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

class BriskComponentTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir tmp;

private slots:
    void versionAlwaysReadsOnePointOne();
    void livesAndDiesWithItsOwner();
    void registryFailuresShowTheSimpleBox_data();
    void registryFailuresShowTheSimpleBox();
    void mainScreenCarriesOneInstance();
};

void BriskComponentTest::versionAlwaysReadsOnePointOne()
{
    QObject owner;
    TBriskRoutines routines(&owner);
    QCOMPARE(routines.Version(), QStringLiteral("1.1"));
    QVERIFY(routines.setProperty("Version", QStringLiteral("2.7")));
    QCOMPARE(routines.property("Version").toString(), QStringLiteral("1.1"));
    routines.setVersion(QString());
    QCOMPARE(routines.Version(), QStringLiteral("1.1"));
    const QMetaObject *meta = routines.metaObject();
    const QMetaProperty version = meta->property(meta->indexOfProperty("Version"));
    QVERIFY(version.isValid() && version.isWritable() && version.isStored());
}

void BriskComponentTest::livesAndDiesWithItsOwner()
{
    auto owner = std::make_unique<QObject>();
    QPointer<TBriskRoutines> routines = new TBriskRoutines(owner.get());
    QCOMPARE(routines->parent(), owner.get());
    owner.reset();
    QVERIFY(routines.isNull());
}

void BriskComponentTest::registryFailuresShowTheSimpleBox_data()
{
    QTest::addColumn<bool>("reading");
    QTest::addColumn<QString>("message");
    QTest::newRow("write") << false << "Failed writing to registry";
    QTest::newRow("read") << true << "Failed reading from registry";
}

void BriskComponentTest::registryFailuresShowTheSimpleBox()
{
    QFETCH(bool, reading);
    QFETCH(QString, message);
    QApplication::setApplicationDisplayName(QStringLiteral("Orvanta"));
    QObject owner;
    TBriskRoutines routines(&owner);
    routines.UserSettingsRoot = tmp.filePath(QStringLiteral("settings"));
    {
        // A value that is no text cannot be read; a key below a plain file cannot be written.
        QDir().mkpath(routines.UserSettingsRoot + "/Acme");
        QFile edited(routines.UserSettingsRoot + "/Acme/Tool.ini");
        QVERIFY(edited.open(QIODevice::WriteOnly));
        edited.write("[General]\nlist=a,b\n");
    }
    SeenBox seen;
    answerNextBox(&seen);
    if (reading)
        QCOMPARE(routines.RegRead("Acme", "Tool", "list", false), QString());
    else
        routines.RegWrite("Acme\\Tool.ini", "Deeper", "Name", "value", false);
    QCOMPARE(seen.text, message);
    QCOMPARE(seen.title, QStringLiteral("Orvanta"));
    QCOMPARE(seen.icon, QMessageBox::NoIcon);
    QCOMPARE(seen.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
}

void BriskComponentTest::mainScreenCarriesOneInstance()
{
    QPointer<TBriskRoutines> carried;
    {
        Tmainscreen screen;
        const QList<TBriskRoutines *> found = screen.findChildren<TBriskRoutines *>();
        QCOMPARE(found.size(), 1);
        carried = found.first();
        QCOMPARE(carried->objectName(), QStringLiteral("BriskRoutines"));
        QCOMPARE(carried.data(), screen.BriskRoutines);
        QCOMPARE(carried->property("Version").toString(), QStringLiteral("1.1"));
    }
    QVERIFY(carried.isNull());
}

QTEST_MAIN(BriskComponentTest)
#include "tst_briskcomponent.moc"
