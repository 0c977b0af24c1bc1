#include "statusline.h"

#include "detailspopup.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QStyle>

namespace {

const QString Ellipsis = QStringLiteral("\u2026");

// A cut after these leaves the sentence's punctuation (or a separator) dangling before the ellipsis.
QString withoutTrailingPunctuation(QString head)
{
    while (!head.isEmpty() && QStringLiteral(",;:(\u00b7\u2014 ").contains(head.back()))
        head.chop(1);
    return head;
}

} // namespace

StatusLine::StatusLine(QWidget* parent)
    : QWidget(parent), iconLabel(new QLabel(this)), textLabel(new QLabel(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(iconLabel);
    layout->addWidget(textLabel, 1);
    // The label never asks for its text's width: the status bar decides, and the text is fitted.
    textLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    textLabel->setTextFormat(Qt::PlainText);
    iconLabel->hide();
    setCursor(Qt::PointingHandCursor);
}

QString StatusLine::elided(const QString& text, const QFontMetrics& metrics, int width)
{
    if (metrics.horizontalAdvance(text) <= width)
        return text;
    for (int blank = text.lastIndexOf(QLatin1Char(' ')); blank > 0;
         blank = text.lastIndexOf(QLatin1Char(' '), blank - 1)) {
        const QString head = withoutTrailingPunctuation(text.left(blank));
        if (!head.isEmpty() && metrics.horizontalAdvance(head + Ellipsis) <= width)
            return head + Ellipsis;
    }
    return Ellipsis;
}

void StatusLine::show(const QString& text, const QIcon& icon)
{
    // One line: a reason that spans lines is read in the popup.
    fullText = text.simplified();
    setToolTip(text);
    shownIcon = icon;
    const int side = style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
    iconLabel->setPixmap(icon.isNull() ? QPixmap() : icon.pixmap(side, side));
    iconLabel->setVisible(!icon.isNull());
    fitText();
}

QString StatusLine::shownText() const
{
    return textLabel->text();
}

QSize StatusLine::minimumSizeHint() const
{
    return QSize(0, QWidget::minimumSizeHint().height());
}

void StatusLine::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitText();
}

void StatusLine::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || fullText.isEmpty())
        return QWidget::mouseReleaseEvent(event);
    auto* popup = new DetailsPopup(toolTip(), this);
    popup->showAbove(mapToGlobal(QPoint(0, 0)));
}

void StatusLine::fitText()
{
    textLabel->setText(elided(fullText, textLabel->fontMetrics(), textLabel->contentsRect().width()));
}

#include "moc_statusline.cpp"
