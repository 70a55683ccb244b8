#ifndef APPEARANCE_H
#define APPEARANCE_H

// The form's fixed geometry was laid out for a narrow 8-point interface font with
// Arial. These keep it legible elsewhere: the font closest to that, and the full
// text as a tooltip wherever a widget still shows only part of it.

#include <QString>

class QColor;

class QWidget;

// Before the QApplication exists: the fixed-size window scales with the screen's
// density (Qt 6 always does).
void enable_high_dpi_scaling();
// After: Liberation Sans Narrow at 8 points as the application font, and Liberation
// Sans (metric-compatible with Arial) for the widgets that ask for Arial, where they
// are installed; elsewhere the default font stays and the tooltips make up for it.
void use_form_font();

// The text of a label, push button, combo box or line edit when it is wider than
// the room the widget gives it; empty when it fits (or the widget shows no text).
QString clipped_text(const QWidget *widget);
// Gives `widget` its clipped text as tooltip, or none when the text fits.
void fit_tooltip(QWidget *widget);
// fit_tooltip on every widget under `root`, and again whenever a line edit's or a
// combo box's text changes, or a widget's size or font does. A label's text has no
// signal: whoever sets one calls fit_tooltip.
void fit_tooltips(QWidget *root);

// The value fields under `root` (the line edits not named lineEdit_set_...) draw
// their panel from a cache: the same pixels, without stroking the frame again each
// time a value changes. They stay disabled, but their text is drawn dark enough to
// read: the style's disabled grey has a contrast of 1.7 : 1 on its background.
void style_value_fields(QWidget *root);

// The contrast of two colours, from 1 (the same) to 21 (black on white).
double contrast_ratio(const QColor &a, const QColor &b);

#endif // APPEARANCE_H
