#include "tlabel.h"

#include <QMouseEvent>

TLabel::TLabel(QWidget *parent) : QLabel(parent) {}

void TLabel::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        emit clicked();
    event->accept();
}
