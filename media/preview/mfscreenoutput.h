#pragma once

// The screens as outputs of the renderer: one entry per screen the window system reports, "Screen N — WxH"
// (N counting from 1 in the window system's order, the size in pixels). The output is a borderless window
// covering its screen, black around the picture, which is scaled into the screen with its aspect kept; its
// sound plays on the chosen sound output, and the sound keeps the time (MFClockedOutput). A screen that goes
// away ends its output: the window goes, and puts fail with MF_E_NOTFOUND.
//
// Threads: the list and the windows belong to the GUI thread: open() must be called there (the player's
// output choice is); the list from elsewhere is the one the GUI thread saw last. put() from any thread; the
// output may be destroyed from any thread.

#include "mfoutputdevice.h"

#include <QSize>

#include <atomic>
#include <memory>
#include <mutex>

class MFClockedOutput;
class QScreen;
class QWidget;

class MFScreenOutputProvider : public MFOutputProvider {
public:
    // Adds the screens to the renderer's outputs, once per process.
    static void registerProvider();
    static QString nameOf(int index, const QSize &size);

    QString providerName() const override { return QStringLiteral("screens"); }
    QStringList list() override;
    std::unique_ptr<MFOutputDevice> open(const QString &name, const MFOutputProps &props) override;

private:
    std::mutex lock; // guards seen
    QStringList seen;
};

class MFScreenOutput : public MFOutputDevice {
public:
    MFScreenOutput(QScreen *screen, const QString &name, const MFOutputProps &props);
    ~MFScreenOutput() override;
    MFScreenOutput(const MFScreenOutput &) = delete;
    MFScreenOutput &operator=(const MFScreenOutput &) = delete;

    int setProperty(const QString &name, const QString &value) override;
    int put(const MFFramePtr &frame, int timeoutMs) override;
    bool alive() const override;

    // The window, for tests; null once the screen has gone.
    QWidget *window() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared;
    std::unique_ptr<MFClockedOutput> clocked;
};
