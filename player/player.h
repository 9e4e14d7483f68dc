#pragma once

#include "playerworker.h"
#include "sdithread.h"

#include <QList>
#include <QStringList>
#include <QWidget>

#include <memory>

namespace Ui {
class Player;
}

class LogsDlg;
class MFRenderer;
class QTimer;

// The "Studio Player" window: the return feed in a preview, its hand-over to NDI, an output device or a
// recording file, and sixteen channel mutes. Everything here runs on the GUI thread.
class Player : public QWidget {
    Q_OBJECT

public:
    // How long startPlay and the destructor wait for the threads of a previous playback to end. They end
    // within a second of being told (their requests are interruptible); this is only a bound.
    static constexpr int kThreadEndWaitMs = 5000;
    // How long the destructor waits for them, together.
    static constexpr int kCloseWaitMs = 2000;
    static constexpr int kStatusPollMs = 250;

    Player(QWidget *parent, const QString &instanceName);
    ~Player() override;

    void startPlay(const QString &url);
    void stopPlay();
    bool isPlaying() const;
    void setNDI(bool on);
    bool isNDI() const;
    // Where operator-facing lines go (an external output that ends by itself); none before.
    void setLogWindow(LogsDlg *window);

    void fillDevices();
    void fillFormats();
    QStringList getDevices();
    // The output list of a renderer (device names, one entry per output line).
    static QStringList getDevices(const std::shared_ptr<MFRenderer> &renderer);
    // Sixteen gains, channel 1 first, "-100.0" for the muted ones.
    static QString gainText(const QList<int> &muted);

    QList<int> mutedChannels;
    // Made with the window and freed with it, unless a thread is still inside a request when the window goes
    // (an open that blocks in the kernel): destroying a running thread aborts the process, so that one is
    // left behind, reported, for the process's end.
    PlayerWorker &worker;
    SdiThread &output;

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_ckbNDI_clicked(bool checked);
    void deviceToggled(bool checked);
    void onChkNumClicked(bool checked);
    void openFolder();

private:
    void showStatus();
    // Frees a thread that ended; leaves one behind that did not.
    static void retireThread(QThread *thread, bool ended, const char *name);
    void log(const QString &line);

    Ui::Player *ui;
    QTimer *statusTimer;
    LogsDlg *logWindow = nullptr;
};
