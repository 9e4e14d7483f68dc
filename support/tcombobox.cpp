#include "tcombobox.h"

#include <QAbstractItemView>
#include <QKeyEvent>
#include <QScrollBar>

TComboBox::TComboBox(QWidget *parent) : QComboBox(parent) {}

void TComboBox::keyReleaseEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape) {
        setCurrentIndex(-1);
        return;
    }
    QComboBox::keyReleaseEvent(event);
}

void TComboBox::showPopup() {
    QComboBox::showPopup();

    const QFontMetrics metrics(font());
    int widest = 0;
    for (int i = 0; i < count(); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));

    QWidget *container = view()->parentWidget();
    if (!container)
        return;
    // Room for a vertical scroll bar as well, measured as the list's scroll bar thickness.
    const int wanted = widest + view()->horizontalScrollBar()->height();
    QRect geometry = container->geometry();
    if (geometry.width() < wanted) {
        geometry.setWidth(wanted);
        container->setGeometry(geometry);
    }
}
