#pragma once

#include <QDialog>

#include <cstdint>

namespace Ui {
class TPreviewDlg;
}

class QSettings;

// The non-modal window that shows the frames being encoded. It knows nothing of the capture: it reports its
// resizing, its audio switch and its closing, and the main window re-targets the capture thread's preview.
// Closing only hides it, so one dialog serves every showing.
class TPreviewDlg : public QDialog {
    Q_OBJECT

public:
    TPreviewDlg(QWidget *parent, QSettings *settings);
    ~TPreviewDlg() override;

    // The native window of the picture label, for the capture thread's preview.
    uint64_t previewWinId() const;
    void setFormatText(const QString &text);
    // Shows the dialog at its stored position and size.
    void showRestored();
    bool audioEnabled() const;

signals:
    void sizeChanged();
    void audioChanged(bool enabled);
    void hidden();

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void on_audioCheck_toggled(bool checked);

private:
    Ui::TPreviewDlg *ui;
    QSettings *settings;
};
