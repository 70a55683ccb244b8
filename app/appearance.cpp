#include "appearance.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFontInfo>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyle>
#include <QStyleOption>

#include <cmath>

namespace
{

// QLineEdit keeps this much space either side of its text.
constexpr int LINE_EDIT_MARGIN = 2;

// A layout places its widgets only when the window is first shown, and a new
// font moves every limit.
class Refit : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Resize || event->type() == QEvent::FontChange)
            fit_tooltip(static_cast<QWidget *>(watched));
        return false;
    }
};

// A line edit scrolls its text, hiding the beginning, as soon as the text and one
// pixel for the cursor need more than its room.
bool line_edit_clips(const QLineEdit *field, const QString &text)
{
    QStyleOptionFrame option;
    option.initFrom(field);
    option.rect = field->contentsRect();
    option.lineWidth = field->hasFrame() ? field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth,
                                                                       &option, field)
                                         : 0;
    const QMargins margins = field->textMargins();
    const int room =
        field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field).width() -
        margins.left() - margins.right() - 2 * LINE_EDIT_MARGIN;
    return field->fontMetrics().horizontalAdvance(text) + 1 > room;
}

// Other widgets draw the text whole and let their edges cut it. Its advance ends
// with the last glyph's side bearing, so a text that overruns its room by one
// pixel loses at most the faint edge of that glyph.
bool text_clips(const QWidget *widget, const QString &text, int room)
{
    return widget->fontMetrics().horizontalAdvance(text) > room + 1;
}

// The panel of a line edit, frame included, drawn once per look and then copied:
// styles stroke the antialiased frame anew on every repaint, most of the cost of
// showing a changed value. The panel is drawn over the window's colour, on which
// the fields stand, so that it covers every pixel of the field: a changed value
// then repaints the field alone, not the group box behind it, whose rounded frame
// the style would stroke again as well.
class CachedPanels : public QProxyStyle
{
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget) const override
    {
        const auto *frame = qstyleoption_cast<const QStyleOptionFrame *>(option);
        if (element != PE_PanelLineEdit || !frame)
            return QProxyStyle::drawPrimitive(element, option, painter, widget);
        const QColor behind = option->palette.color(QPalette::Window);
        const qreal ratio = painter->device()->devicePixelRatioF();
        // At a fractional ratio a field starts between device pixels, where a copy
        // would differ from the drawing.
        if (ratio != std::floor(ratio)) {
            painter->fillRect(option->rect, behind);
            return QProxyStyle::drawPrimitive(element, option, painter, widget);
        }
        // Looked up by value: formatting a text key cost as much as the copy itself.
        const PanelKey key{option->rect.size(), int(option->state), frame->lineWidth,
                           option->palette.cacheKey(), ratio};
        auto found = panels_.constFind(key);
        if (found == panels_.constEnd()) {
            QPixmap panel(option->rect.size() * ratio);
            panel.setDevicePixelRatio(ratio);
            panel.fill(behind);
            QStyleOptionFrame at_origin(*frame);
            at_origin.rect.moveTo(0, 0);
            QPainter drawing(&panel);
            QProxyStyle::drawPrimitive(element, &at_origin, &drawing, widget);
            drawing.end();
            // A look per field size, state and palette: a few dozen. A style or
            // palette change leaves old ones behind, so the set starts over then.
            if (panels_.size() >= MAX_PANELS)
                panels_.clear();
            found = panels_.insert(key, panel);
        }
        const QPixmap &panel = found.value();
        painter->drawPixmap(option->rect.topLeft(), panel);
    }

private:
    struct PanelKey {
        QSize size;
        int state;
        int line_width;
        qint64 palette;
        qreal ratio;
        bool operator==(const PanelKey &o) const
        {
            return size == o.size && state == o.state && line_width == o.line_width &&
                   palette == o.palette && ratio == o.ratio;
        }
    };
    friend uint qHash(const PanelKey &k, uint seed = 0)
    {
        return ::qHash(k.palette, seed) ^ ::qHash(k.size.width() * 4099 + k.size.height(), seed) ^
               uint(k.state) ^ uint(k.line_width << 24);
    }
    static constexpr int MAX_PANELS = 256;
    mutable QHash<PanelKey, QPixmap> panels_;
};

// Relative luminance of an sRGB colour, as the contrast rules for text define it.
double luminance(const QColor &colour)
{
    const auto channel = [](double c) {
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
           0.0722 * channel(colour.blueF());
}

// A disabled field's text in a colour between the style's text and its background:
// still unlike an input, but with twice the contrast readable text needs at the
// least (4.5 : 1), so the glyphs' antialiased edges keep it too.
QColor legible_disabled_text(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    const QColor base = palette.color(QPalette::Disabled, QPalette::Base);
    for (double share = 0.5; share > 0.0; share -= 0.05) {
        const QColor mixed =
            QColor::fromRgbF(text.redF() + share * (base.redF() - text.redF()),
                             text.greenF() + share * (base.greenF() - text.greenF()),
                             text.blueF() + share * (base.blueF() - text.blueF()));
        if (contrast_ratio(mixed, base) >= 9.0)
            return mixed;
    }
    return text;
}

} // namespace

double contrast_ratio(const QColor &a, const QColor &b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

void enable_high_dpi_scaling()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    // As Qt 6 does: at 150 % the window is 1.5 times as large, not twice (which
    // would not fit a 2560-pixel screen).
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
}

void use_form_font()
{
    // Liberation Sans Narrow 8 pt is the one installed font that leaves no text of
    // the window cut off at 96 DPI, nor up to 110 DPI (README, "Legible").
    const QString narrow = QStringLiteral("Liberation Sans Narrow");
    const QString arial_metrics = QStringLiteral("Liberation Sans");
    if (QFontInfo(QFont(narrow)).family() != narrow)
        return;
    // The connection label asks for Arial; where fontconfig does not alias it itself.
    QFont::insertSubstitution(QStringLiteral("Arial"), arial_metrics);
    QApplication::setFont(QFont(narrow, 8));
}

QString clipped_text(const QWidget *widget)
{
    const QStyle *style = widget->style();
    QString text;
    bool clipped = false;
    if (const auto *label = qobject_cast<const QLabel *>(widget)) {
        text = label->text();
        clipped = text_clips(label, text, label->contentsRect().width() - 2 * label->margin());
    } else if (const auto *button = qobject_cast<const QPushButton *>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        if (button->autoDefault())
            option.features |= QStyleOptionButton::AutoDefaultButton;
        text = button->text();
        clipped = text_clips(
            button, text,
            style->subElementRect(QStyle::SE_PushButtonContents, &option, button).width());
    } else if (const auto *box = qobject_cast<const QComboBox *>(widget)) {
        text = box->currentText();
        if (box->lineEdit()) {
            clipped = line_edit_clips(box->lineEdit(), text);
        } else {
            QStyleOptionComboBox option;
            option.initFrom(box);
            option.frame = box->hasFrame();
            // The style draws the current item a pixel inside the edit field.
            const QRect edit = style->subControlRect(QStyle::CC_ComboBox, &option,
                                                     QStyle::SC_ComboBoxEditField, box);
            clipped = text_clips(box, text, edit.width() - 2);
        }
    } else if (const auto *group = qobject_cast<const QGroupBox *>(widget)) {
        // The style places the title inside the frame, sized to its text.
        QStyleOptionGroupBox option;
        option.initFrom(group);
        option.text = group->title();
        option.lineWidth = 1;
        option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        text = option.text;
        const QRect title =
            style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
        clipped = title.left() + group->fontMetrics().horizontalAdvance(text) >
                  group->contentsRect().right() + 1;
    } else if (const auto *field = qobject_cast<const QLineEdit *>(widget)) {
        // One inside a combo box is the box's to report.
        if (!qobject_cast<const QComboBox *>(field->parentWidget())) {
            text = field->displayText();
            clipped = line_edit_clips(field, text);
        }
    }
    return clipped ? text : QString();
}

void fit_tooltip(QWidget *widget)
{
    const QString tip = clipped_text(widget);
    if (widget->toolTip() != tip)
        widget->setToolTip(tip);
}

void fit_tooltips(QWidget *root)
{
    auto *refit = new Refit(root);
    const auto widgets = root->findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (!qobject_cast<QLabel *>(widget) && !qobject_cast<QPushButton *>(widget) &&
            !qobject_cast<QComboBox *>(widget) && !qobject_cast<QLineEdit *>(widget) &&
            !qobject_cast<QGroupBox *>(widget))
            continue;
        widget->installEventFilter(refit);
        if (auto *box = qobject_cast<QComboBox *>(widget))
            QObject::connect(box, &QComboBox::currentTextChanged, box, [box] { fit_tooltip(box); });
        else if (auto *field = qobject_cast<QLineEdit *>(widget))
            QObject::connect(field, &QLineEdit::textChanged, field, [field] {
                // Twice a second for a dozen value fields: a short text that fits
                // even in the font's widest glyphs needs no asking of the style.
                if (field->toolTip().isEmpty() &&
                    field->text().size() * field->fontMetrics().maxWidth() + 16 <= field->width())
                    return;
                fit_tooltip(field);
            });
        fit_tooltip(widget);
    }
}

void style_value_fields(QWidget *root)
{
    // With no base given, the proxy draws with a style of the application's kind.
    auto *style = new CachedPanels;
    style->setParent(root);
    const auto fields = root->findChildren<QLineEdit *>();
    for (QLineEdit *field : fields) {
        if (field->objectName().startsWith(QLatin1String("lineEdit_set_")) ||
            qobject_cast<QComboBox *>(field->parentWidget()))
            continue;
        field->setStyle(style);
        field->setAttribute(Qt::WA_OpaquePaintEvent);
        // Digits and a few words of Latin script need no shaping, and a changed
        // value is laid out in half the time without it.
        QFont font;
        font.setStyleStrategy(QFont::PreferNoShaping);
        field->setFont(font);
        QPalette palette = field->palette();
        palette.setColor(QPalette::Disabled, QPalette::Text, legible_disabled_text(palette));
        field->setPalette(palette);
    }
}
