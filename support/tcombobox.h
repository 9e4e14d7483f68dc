#pragma once

#include <QComboBox>

// A combo box whose pop-up list is wide enough for its longest entry, and which Escape clears.
class TComboBox : public QComboBox {
    Q_OBJECT

public:
    explicit TComboBox(QWidget *parent = nullptr);

    void showPopup() override;

protected:
    void keyReleaseEvent(QKeyEvent *event) override;
};
