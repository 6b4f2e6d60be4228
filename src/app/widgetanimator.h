#pragma once
// Slides widgets into place: only the position is animated, the start
// rectangle's size is applied at once. One entry per widget while it slides.

#include <QMap>
#include <QObject>
#include <QParallelAnimationGroup>
#include <QPointer>
#include <QRect>

class QWidget;

class WidgetAnimator : public QObject
{
    Q_OBJECT
public:
    WidgetAnimator() = default;
    ~WidgetAnimator() override = default;

    void animate(QWidget *widget, const QRect &start, const QRect &end, bool animated);
    bool contains(QWidget *widget) const { return animations.contains(widget); }

private slots:
    void animationFinished();
    void widgetDestroyed(QObject *widget);

private:
    QMap<QWidget *, QPointer<QParallelAnimationGroup>> animations;
};
