#pragma once
// The single-instance guard: the application object of the host. The first
// copy of an application id listens on a local socket; later copies send it
// a message and leave. A lock file decides who is first, so two copies that
// start at the same moment cannot both listen, and a first copy that died
// (its lock goes stale with its process) never blocks the next start.

#include <QApplication>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLockFile;

class SingleApplication : public QApplication
{
    Q_OBJECT
public:
    SingleApplication(const QString &appId, int &argc, char **argv);
    ~SingleApplication() override;

    // True when a running first copy received the message. Otherwise this
    // copy becomes the first copy and listens for later ones.
    bool sendMessage(const QString &message, int timeoutMs);

    // The window to bring forward when a later copy's message arrives.
    void setActivationWindow(QWidget *window, bool activateOnMessage = true);

    bool isPrimary() const { return server != nullptr; }
    QString serverName() const { return name; }

signals:
    void messageReceived(const QString &message);

private slots:
    void onNewConnection();

private:
    bool becomePrimary();
    void activateWindow();

    QString name;
    QLocalServer *server = nullptr;
    QLockFile *lock = nullptr;
    QPointer<QWidget> activationWindow;
    bool activateOnMessage = false;
};
