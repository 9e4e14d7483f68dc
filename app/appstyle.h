#pragma once

#include <QColor>
#include <QString>

class QWidget;

// The look of every window: the application's style sheet, and what a style sheet cannot say in Qt 5.
namespace appstyle {

QString styleSheet();

// Hints in empty fields: dimmer than typed text, so that a field showing one reads as empty.
extern const QColor kPlaceholderColour;

// Gives every line edit under root the placeholder colour, and gives it again whenever a style sheet sets the
// palette anew (a style sheet's "color" sets the placeholder role to the text's colour).
void dimPlaceholders(QWidget *root);

} // namespace appstyle
