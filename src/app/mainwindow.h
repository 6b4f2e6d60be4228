#pragma once
#include <QMainWindow>

// Placeholder until script start-up arrives: the window the entry function
// starts, shows and deletes.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static MainWindow *instance();
    void start(const QString &module);

private:
    explicit MainWindow(QWidget *parent = nullptr);
};
