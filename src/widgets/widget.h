#pragma once
// The script-drawn widget: it paints nothing itself; every paint event is
// the script's "onPaint" on the shared painter.

#include <QWidget>

class Widget : public QWidget
{
    Q_OBJECT
public:
    explicit Widget(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());

protected:
    void paintEvent(QPaintEvent *event) override;
};
