#include "widgetanimator.h"

#include <QEasingCurve>
#include <QPropertyAnimation>
#include <QWidget>

void WidgetAnimator::animate(QWidget *w, const QRect &start, const QRect &end, bool animated)
{
    QRect g = w->geometry();
    if (g.right() < 0 || g.bottom() < 0)
        g = QRect();
    const int duration = animated && !g.isNull() && !end.isNull() ? 500 : 0;

    QRect target = end;
    if (!end.isValid() && !w->isWindow())
        target = QRect(-500 - w->width(), -500 - w->height(), w->width(), w->height());

    auto *group = new QParallelAnimationGroup(w);
    auto *slide = new QPropertyAnimation(w, "pos", w);
    slide->setDuration(duration);
    slide->setEasingCurve(QEasingCurve::OutQuad);
    slide->setEndValue(target.topLeft());
    group->addAnimation(slide);

    // An earlier group for the same widget keeps running; whichever group
    // finishes first ends the slide.
    animations.insert(w, group);
    // A widget may die mid-slide; a new widget at its address must not
    // inherit its entry.
    connect(w, &QObject::destroyed, this, &WidgetAnimator::widgetDestroyed, Qt::UniqueConnection);

    w->move(start.topLeft());
    w->resize(start.size());
    connect(group, &QAbstractAnimation::finished, this, &WidgetAnimator::animationFinished);
    group->start(QAbstractAnimation::DeleteWhenStopped);
}

void WidgetAnimator::animationFinished()
{
    auto *animation = qobject_cast<QAbstractAnimation *>(sender());
    if (!animation)
        return;
    auto *w = qobject_cast<QWidget *>(animation->parent());
    if (!w)
        return;
    auto it = animations.find(w);
    if (it == animations.end())
        return;
    QPointer<QParallelAnimationGroup> group = it.value();
    animations.erase(it);
    if (group)
        group->stop();
}

void WidgetAnimator::widgetDestroyed(QObject *widget)
{
    // Only the address is used: the widget is already half gone.
    animations.remove(reinterpret_cast<QWidget *>(widget));
}
