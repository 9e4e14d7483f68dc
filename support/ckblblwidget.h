#pragma once

#include <QWidget>

class QCheckBox;
class ClickableWeightLabel;

// One bonding path row of the main window: a check box with the local address and the path's weight label.
class CkbLblWidget : public QWidget {
    Q_OBJECT

public:
    explicit CkbLblWidget(const QString &address, QWidget *parent = nullptr);
    ~CkbLblWidget() override;

    QString text() const;
    bool isChecked() const;
    // Clicks the check box: it toggles and checkedCkb follows.
    void click();
    void setCheckBoxToolTip(const QString &text);
    // The bonding token: the address immediately followed by the weight label's text, e.g. 10.0.0.5(2).
    QString pathText() const;
    int weight() const;
    void setWeight(int weight);

signals:
    void checkedCkb(bool checked, QString ip, int weight);

private:
    QCheckBox *checkBox;
    ClickableWeightLabel *weightLabel;
};
