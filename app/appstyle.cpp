#include "appstyle.h"

#include <QEvent>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

namespace {
const char kStyleSheet[] =
    "MainWindow {  background-color: #050F15;}QDialog {background-color: #050F15;border:4px solid lightgray;}"
    "QStatusBar {background-color:transparent; color:white;font-size:12px;}QStatusBar::item {border:none;}"
    "QLabel, QRadioButton {font-size:13px; color: white;}QCheckBox {font-size:13px;color: white;}"
    "QToolBar {border:none;}QGroupBoxZZ {color:white;}QGroupBox {background-color: #0E2B47;border:1px solid "
    "#34383A;}QFrame#outputFrame {border:1px solid #34383A;}QPushButton:checked{ background: red;  color:white;}"
    "QComboBox {background:#262626;color: #EA700C; selection-background-color:#262626; selection-color: #EA700C; "
    "} QSpinBox {background:#262626;color:#EA700C; border:none; selection-background-color:#262626; "
    "selection-color: #EA700C; }QLineEdit {font-size:14px; background: black; border:none; color: #EA700C;}"
    "Player {background-color: #0E2B47;border:4px solid lightgray;}QMenuBar {font-size:12px;background-color: "
    "#0E2B47; color: rgb(255,255,255);}QMenuBar::item::selected {background-color: rgb(49,49,49); color: "
    "rgb(255,255,255);}QMenu {background-color: #0E2B47; color: rgb(255,255,255);}"
    "QCheckBox::indicator{background:#262626;color:#FFFFFF; }QCheckBox::indicator:checked{background:#00FF00;"
    "color:#FFFFFF;}";
static_assert(sizeof(kStyleSheet) - 1 == 1213, "the application style sheet is one fixed literal");

// Watches the line edits of a window: a style sheet sets their palette when it polishes them (on showing, and
// again on every change of a style sheet), so the placeholder colour is given each time that happens.
class PlaceholderInk : public QObject {
public:
    using QObject::QObject;

    static void apply(QWidget *edit) {
        QPalette palette = edit->palette();
        if (palette.color(QPalette::Active, QPalette::PlaceholderText) == appstyle::kPlaceholderColour &&
            palette.color(QPalette::Inactive, QPalette::PlaceholderText) == appstyle::kPlaceholderColour)
            return;
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::PlaceholderText, appstyle::kPlaceholderColour);
        edit->setPalette(palette);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
            apply(static_cast<QWidget *>(watched));
        return false;
    }
};
} // namespace

namespace appstyle {

const QColor kPlaceholderColour(0x70, 0x7c, 0x84);

QString styleSheet() {
    return QLatin1String(kStyleSheet);
}

void dimPlaceholders(QWidget *root) {
    auto *ink = new PlaceholderInk(root);
    for (QLineEdit *edit : root->findChildren<QLineEdit *>()) {
        edit->installEventFilter(ink);
        PlaceholderInk::apply(edit);
    }
}

} // namespace appstyle
