#include "detailspopup.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

DetailsPopup::DetailsPopup(const QString& text, QWidget* parent) : QFrame(parent, Qt::Popup), shownText(text)
{
    setObjectName(QStringLiteral("detailsPopup"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFrameStyle(QFrame::Box | QFrame::Plain);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(text, this);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setMaximumWidth(480);
    layout->addWidget(label);
    auto* copy = new QPushButton(tr("Copy"), this);
    copy->setObjectName(QStringLiteral("copyButton"));
    connect(copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(shownText); });
    layout->addWidget(copy, 0, Qt::AlignRight);
}

void DetailsPopup::showAbove(const QPoint& anchor)
{
    adjustSize();
    QRect placed(anchor - QPoint(0, height()), size());
    if (const QScreen* screen = QGuiApplication::screenAt(anchor)) {
        const QRect available = screen->availableGeometry();
        placed.moveLeft(
            qBound(available.left(), placed.left(), qMax(available.left(), available.right() - width())));
        placed.moveTop(qMax(available.top(), placed.top()));
    }
    move(placed.topLeft());
    show();
}

#include "moc_detailspopup.cpp"
