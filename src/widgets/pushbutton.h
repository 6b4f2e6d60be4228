#pragma once
// The script's clickable control: Qt's press, release and click logic, the
// script's drawing ("onPaint") and its "onClick".

#include <QPushButton>

class PushButton : public QPushButton
{
    Q_OBJECT
public:
    explicit PushButton(QWidget *parent = nullptr);

public slots:
    void onClicked();

protected:
    void paintEvent(QPaintEvent *event) override;
};
