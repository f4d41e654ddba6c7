#include "shell/linktestwindow.h"

#include "shell/keepabove.h"

#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <tuple>

namespace {

constexpr QRect kDesign(0, 0, 1024, 768);

// A window manager frames a window when it is mapped, which takes it a few milliseconds;
// the kiosk's own session has none.
constexpr int kFramedWithinMs = 500;

qint64 coveredArea(const QRect &frame, const QList<QRect> &rects)
{
    qint64 covered = 0;
    for (const QRect &rect : rects) {
        const QRect common = frame.intersected(rect);
        if (!common.isEmpty())
            covered += qint64(common.width()) * common.height();
    }
    return covered;
}

} // namespace

namespace linktest {

QPoint clearPlace(const QRect &area, const QSize &frame, const QList<QList<QRect>> &controls,
                  const QRect &design)
{
    const int lastX = std::max(area.left(), area.right() + 1 - frame.width());
    const int lastY = std::max(area.top(), area.bottom() + 1 - frame.height());
    // The covered areas change course only where an edge of the frame meets an edge of a
    // control or of the design area, so the least lies at one of those places.
    QList<int> xs{area.left(), lastX};
    QList<int> ys{area.top(), lastY};
    QList<QList<QRect>> ranks = controls;
    ranks << QList<QRect>{design};
    for (const QList<QRect> &rank : ranks) {
        for (const QRect &rect : rank) {
            xs << rect.right() + 1 << rect.left() - frame.width();
            ys << rect.bottom() + 1 << rect.top() - frame.height();
        }
    }
    const auto keep = [](QList<int> &values, int low, int high) {
        for (int &value : values)
            value = std::clamp(value, low, high);
        std::sort(values.begin(), values.end());
        values.erase(std::unique(values.begin(), values.end()), values.end());
    };
    keep(xs, area.left(), lastX);
    keep(ys, area.top(), lastY);

    QPoint best(area.left(), area.top());
    QList<qint64> bestScore;
    for (const int x : xs) {
        for (const int y : ys) {
            const QRect place(QPoint(x, y), frame);
            QList<qint64> score;
            for (const QList<QRect> &rank : ranks)
                score << coveredArea(place, rank);
            score << (lastX - x) + (y - area.top());
            if (bestScore.isEmpty() || score < bestScore) {
                bestScore = score;
                best = place.topLeft();
            }
        }
    }
    return best;
}

QList<QList<QRect>> customerControls(const QList<QWidget *> &screens, const QRect &area)
{
    QList<QList<QRect>> controls;
    for (const QWidget *screen : screens) {
        QList<QRect> own;
        const auto children = screen->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
        for (const QWidget *child : children) {
            if (child->isWindow() || child->geometry().contains(kDesign))
                continue;
            own << child->geometry().translated(area.topLeft());
        }
        controls << own;
    }
    return controls;
}

namespace {

// Before the window is first shown its frame is not known: the window's own size then.
void place(QWidget *window, const QList<QWidget *> &screens)
{
    const QScreen *screen = screens.first()->screen();
    const QRect area = screen ? screen->geometry() : kDesign;
    const QSize frame = window->isVisible() ? window->frameGeometry().size() : window->size();
    window->move(clearPlace(area, frame, customerControls(screens, area),
                            kDesign.translated(area.topLeft())));
}

} // namespace

void showBeside(QWidget *window, const QList<QWidget *> &screens)
{
    if (screens.isEmpty())
        return;
    place(window, screens);
    window->show();
    window->raise();
    new KeepAbove(window, screens);
    // By now a window manager has put its frame around the window, or there is none.
    QTimer::singleShot(kFramedWithinMs, window, [window, screens] {
        if (window->isVisible() && window->frameGeometry().size() != window->size())
            place(window, screens);
    });
}

} // namespace linktest
