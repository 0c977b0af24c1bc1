// A popup that shows a long text in full, selectable, with a button that copies it: the whole
// reason behind a status line that had to be shortened.
#pragma once

#include <QFrame>

class DetailsPopup : public QFrame
{
    Q_OBJECT

public:
    // Deletes itself when it closes.
    explicit DetailsPopup(const QString& text, QWidget* parent);

    // Shows it so that its bottom-left corner stands at anchor (above the status bar), kept on the anchor's
    // screen.
    void showAbove(const QPoint& anchor);

    QString text() const { return shownText; }

private:
    const QString shownText;
};
