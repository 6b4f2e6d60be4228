#pragma once
// Timer: the native side of the script class "Timer". A plain QObject that
// owns a QTimer, so that the script's handle never exposes QTimer's own
// API and the expiry can be forwarded to the function stored on the handle.

#include <QObject>

class QTimer;

class Timer : public QObject {
    Q_OBJECT
public:
    Timer();

    QTimer *timer; // child of this Timer: deleted with it

private slots:
    void onTimeout();
};
