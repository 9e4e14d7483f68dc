#include "clickableweightlabel.h"

#include <QMouseEvent>

ClickableWeightLabel::ClickableWeightLabel(QWidget *parent) : QLabel(parent) {
    showWeight();
}

void ClickableWeightLabel::setWeight(int weight) {
    currentWeight = weight < 0 ? 1 : weight;
    showWeight();
}

void ClickableWeightLabel::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        currentWeight = (currentWeight + 1) % kWeightSteps;
        showWeight();
    }
    QLabel::mousePressEvent(event);
}

void ClickableWeightLabel::showWeight() {
    setText(QStringLiteral("(%1)").arg(currentWeight));
    // librist's meaning of a weight: 0 copies every packet onto the path, higher weights share the load.
    const QString meaning =
        currentWeight == 0
            ? tr("Weight 0: every packet is also sent over this path (a full copy of the stream).")
            : tr("Weight %1: this path carries %1 part(s) of the stream, shared with the other ticked paths in "
                 "proportion to their weights.")
                  .arg(currentWeight);
    setToolTip(tr("weight (click to change)") + QLatin1Char('\n') + meaning);
}
