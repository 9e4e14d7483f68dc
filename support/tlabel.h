#pragma once

#include <QLabel>

// A label that reports left clicks.
class TLabel : public QLabel {
    Q_OBJECT

public:
    explicit TLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
