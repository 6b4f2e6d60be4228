// The widget animator: where widgets end up, when they slide, and how the
// entry per widget comes and goes.
#include "widgetanimator.h"

#include <QSignalSpy>
#include <QTest>
#include <QWidget>

class AnimatorTest : public QObject
{
    Q_OBJECT

private slots:
    void unanimatedPlacesAtOnceWithStartSize()
    {
        QWidget parent;
        parent.resize(400, 300);
        auto *w = new QWidget(&parent);
        w->setGeometry(10, 10, 50, 20);
        WidgetAnimator a;
        a.animate(w, QRect(0, 0, 80, 30), QRect(100, 120, 10, 10), false);
        QVERIFY(!a.contains(w));
        QCOMPARE(w->pos(), QPoint(100, 120));
        QCOMPARE(w->size(), QSize(80, 30)); // the end size is never applied
    }

    void nullEndPlacesAtOnce()
    {
        QWidget parent;
        auto *w = new QWidget(&parent);
        w->setGeometry(10, 10, 50, 20);
        WidgetAnimator a;
        a.animate(w, QRect(5, 5, 40, 40), QRect(0, 0, 0, 0), true);
        QVERIFY(!a.contains(w));
        // A null end is not valid: a child goes off-screen, sized as before the call.
        QCOMPARE(w->pos(), QPoint(-550, -520));
        QCOMPARE(w->size(), QSize(40, 40));
    }

    void invalidEndOnChildSlidesOffScreen()
    {
        QWidget parent;
        parent.resize(400, 300);
        auto *w = new QWidget(&parent);
        w->setGeometry(10, 10, 60, 30);
        WidgetAnimator a;
        a.animate(w, QRect(10, 10, 60, 30), QRect(200, 200, -1, 50), true);
        QVERIFY(a.contains(w));
        QTRY_VERIFY_WITH_TIMEOUT(!a.contains(w), 3000);
        QCOMPARE(w->pos(), QPoint(-560, -530));
        QCOMPARE(w->pos() + QPoint(w->width() - 1, w->height() - 1), QPoint(-501, -501));
    }

    void invalidEndOnTopLevelUsesItsCorner()
    {
        QWidget w;
        w.setGeometry(10, 10, 60, 30);
        WidgetAnimator a;
        a.animate(&w, QRect(10, 10, 60, 30), QRect(70, 80, 0, 5), false);
        QCOMPARE(w.pos(), QPoint(70, 80));
    }

    void negativeGeometryIsPlacedWithoutAnimation()
    {
        QWidget parent;
        auto *w = new QWidget(&parent);
        w->setGeometry(-100, -100, 50, 50); // right and bottom negative
        WidgetAnimator a;
        a.animate(w, QRect(0, 0, 50, 50), QRect(30, 40, 50, 50), true);
        QVERIFY(!a.contains(w));
        QCOMPARE(w->pos(), QPoint(30, 40));
    }

    void slideEndsAtTargetAfterHalfASecond()
    {
        QWidget parent;
        parent.resize(400, 300);
        auto *w = new QWidget(&parent);
        w->setGeometry(0, 0, 50, 50);
        WidgetAnimator a;
        QElapsedTimer clock;
        clock.start();
        a.animate(w, QRect(0, 0, 50, 50), QRect(200, 100, 50, 50), true);
        QVERIFY(a.contains(w));
        QCOMPARE(w->pos(), QPoint(0, 0));
        QTRY_VERIFY_WITH_TIMEOUT(!a.contains(w), 3000);
        QVERIFY(clock.elapsed() >= 400);
        QCOMPARE(w->pos(), QPoint(200, 100));
    }

    void secondSlideTakesOverTheWidget()
    {
        // Qt stops an earlier animation of the same property when a new one
        // starts, so the first group never reaches its end: the second slide
        // carries the widget to its target and its end removes the entry.
        QWidget parent;
        parent.resize(800, 600);
        auto *w = new QWidget(&parent);
        w->setGeometry(0, 0, 50, 50);
        WidgetAnimator a;
        a.animate(w, QRect(0, 0, 50, 50), QRect(300, 0, 50, 50), true);
        QTest::qWait(250);
        a.animate(w, QRect(w->geometry()), QRect(0, 300, 50, 50), true);
        QVERIFY(a.contains(w));
        QTest::qWait(300); // past the end of the first slide
        QVERIFY(a.contains(w));
        QTRY_VERIFY_WITH_TIMEOUT(!a.contains(w), 3000);
        QCOMPARE(w->pos(), QPoint(0, 300));
    }

    void destroyedWidgetLeavesNoEntry()
    {
        WidgetAnimator a;
        QWidget parent;
        parent.resize(400, 300);
        auto *w = new QWidget(&parent);
        w->setGeometry(0, 0, 50, 50);
        a.animate(w, QRect(0, 0, 50, 50), QRect(200, 0, 50, 50), true);
        QVERIFY(a.contains(w));
        QWidget *dead = w;
        delete w;
        QVERIFY(!a.contains(dead));
    }
};

QTEST_MAIN(AnimatorTest)
#include "animator.moc"
