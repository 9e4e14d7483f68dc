#pragma once

#include <QLabel>

// The weight of one bonding path, shown as "(n)"; a left click steps it 1, 2, 3, 0, 1, ...
class ClickableWeightLabel : public QLabel {
    Q_OBJECT

public:
    static constexpr int kWeightSteps = 4;

    explicit ClickableWeightLabel(QWidget *parent = nullptr);

    int weight() const { return currentWeight; }
    // Shows a stored weight; negative values are taken as 1.
    void setWeight(int weight);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    void showWeight();

    int currentWeight = 1;
};
