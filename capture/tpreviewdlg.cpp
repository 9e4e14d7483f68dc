#include "tpreviewdlg.h"
#include "ui_tpreviewdlg.h"

#include "privatefile.h"

#include <QCloseEvent>
#include <QSettings>

namespace {
const char kGeometryKey[] = "PREVIEW_GEOMETRY";
const char kAudioKey[] = "PREVIEW_AUDIO";
} // namespace

TPreviewDlg::TPreviewDlg(QWidget *parent, QSettings *settings)
    : QDialog(parent), ui(new Ui::TPreviewDlg), settings(settings) {
    ui->setupUi(this);
    ui->audioCheck->setChecked(settings && settings->value(QLatin1String(kAudioKey), false).toBool());
}

TPreviewDlg::~TPreviewDlg() {
    delete ui;
}

uint64_t TPreviewDlg::previewWinId() const {
    return uint64_t(ui->previewLbl->winId());
}

void TPreviewDlg::setFormatText(const QString &text) {
    ui->lblFormat->setText(text);
}

bool TPreviewDlg::audioEnabled() const {
    return ui->audioCheck->isChecked();
}

void TPreviewDlg::showRestored() {
    show();
    if (settings)
        restoreGeometry(settings->value(QLatin1String(kGeometryKey)).toByteArray());
}

void TPreviewDlg::on_audioCheck_toggled(bool checked) {
    emit audioChanged(checked);
}

void TPreviewDlg::closeEvent(QCloseEvent *event) {
    if (settings) {
        // The store holds passphrases: QSettings, which writes this later, must not create it readable by all.
        privatefile::prepare(settings->fileName());
        settings->setValue(QLatin1String(kGeometryKey), saveGeometry());
        settings->setValue(QLatin1String(kAudioKey), ui->audioCheck->isChecked());
    }
    emit hidden();
    hide();
    event->ignore();
}

void TPreviewDlg::resizeEvent(QResizeEvent *event) {
    QDialog::resizeEvent(event);
    emit sizeChanged();
}
