#include "ckblblwidget.h"

#include "clickableweightlabel.h"

#include <QCheckBox>
#include <QDebug>
#include <QHBoxLayout>

CkbLblWidget::CkbLblWidget(const QString &address, QWidget *parent)
    : QWidget(parent), checkBox(new QCheckBox(address, this)), weightLabel(new ClickableWeightLabel(this)) {
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    checkBox->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
    weightLabel->setStyleSheet(QStringLiteral("background-color:grey;"));
    weightLabel->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Maximum);
    layout->addWidget(checkBox);
    layout->addWidget(weightLabel);
    layout->addSpacerItem(new QSpacerItem(1, 1, QSizePolicy::Expanding, QSizePolicy::Minimum));
    connect(checkBox, &QCheckBox::stateChanged, this, [this](int state) {
        // A path in use keeps its weight: librist takes it when the peer is created.
        weightLabel->setEnabled(state != Qt::Checked);
        emit checkedCkb(state == Qt::Checked, checkBox->text(), weightLabel->weight());
    });
}

CkbLblWidget::~CkbLblWidget() {
    qDebug() << "~CkbLblWidget " << checkBox->text() << "ckblblwidget" << __LINE__;
}

QString CkbLblWidget::text() const {
    return checkBox->text();
}

bool CkbLblWidget::isChecked() const {
    return checkBox->isChecked();
}

void CkbLblWidget::click() {
    checkBox->click();
}

void CkbLblWidget::setCheckBoxToolTip(const QString &text) {
    checkBox->setToolTip(text);
}

QString CkbLblWidget::pathText() const {
    return checkBox->text() + weightLabel->text();
}

int CkbLblWidget::weight() const {
    return weightLabel->weight();
}

void CkbLblWidget::setWeight(int weight) {
    weightLabel->setWeight(weight);
}
