#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "capturestreamer.h"
#include "streamrules.h"
#include "tpreviewdlg.h"

void MainWindow::setupPreview() {
    previewDlg = new TPreviewDlg(this, settings);
    previewDlg->setModal(false);
    connect(previewDlg, &TPreviewDlg::sizeChanged, this, &MainWindow::previewSizeChanged);
    connect(previewDlg, &TPreviewDlg::audioChanged, this, &MainWindow::previewAudioChanged);
    connect(previewDlg, &TPreviewDlg::hidden, this, &MainWindow::previewHidden);
}

void MainWindow::showPreview() {
    previewDlg->showRestored();
    if (!capture->isRunning())
        return;
    // The box, not the stored key: a Stop hides the dialog without storing, and the box is what the operator sees.
    capture->setPreviewAudio(previewDlg->audioEnabled());
    capture->setPreviewWindow(previewDlg->previewWinId());
    previewDlg->setFormatText(streamrules::formatText(capture->sourceFormat.load()));
}

void MainWindow::previewSizeChanged() {
    if (capture->isRunning() && previewDlg->isVisible())
        capture->setPreviewWindow(previewDlg->previewWinId());
}

void MainWindow::previewAudioChanged(bool enabled) {
    if (capture->isRunning())
        capture->setPreviewAudio(enabled);
}

void MainWindow::previewHidden() {
    if (capture->isRunning())
        capture->setPreviewWindow(0);
}
