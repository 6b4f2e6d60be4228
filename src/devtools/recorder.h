#pragma once
// ORVANE_RECORD: every input event that reaches a script widget is written,
// as it arrives, into a driver file that replays the session.

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QSet>

class QEvent;

namespace orvane {

class Recorder : public QObject {
public:
    // The recorder lives as long as parent (the main window).
    Recorder(QObject *parent, const QString &path);

    // Writes the file's head and starts watching; false (with a warning)
    // when the file cannot be written.
    bool open(const QByteArray &module);

protected:
    // Installed on the application, so it sees every delivery Qt makes,
    // including the copies of an unconsumed event offered to the parents.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void record(QObject *watched, QEvent *event);
    void write(const QByteArray &line);

    QFile file;
    QElapsedTimer clock;
    qint64 last = 0;
    QSet<QObject *> warned;
    // The last event written, to skip the copies Qt hands to parents.
    QPointer<QObject> prevTarget;
    int prevType = 0;
    ulong prevTimestamp = 0;
    QPoint prevGlobal;
};

} // namespace orvane
