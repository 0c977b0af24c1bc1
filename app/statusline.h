// The window's status line: an icon and one line of text that is shortened at a word's end, with
// an ellipsis, when the status bar is too narrow. The whole text is its tooltip, and a click
// shows it in a popup from which it can be copied.
#pragma once

#include <QIcon>
#include <QWidget>

class QFontMetrics;
class QLabel;

class StatusLine : public QWidget
{
    Q_OBJECT

public:
    explicit StatusLine(QWidget* parent = nullptr);

    // The longest start of text, cut after a whole word (and a number is a word), that fits in
    // width with an ellipsis; the text itself when it fits, the ellipsis alone when no word does.
    static QString elided(const QString& text, const QFontMetrics& metrics, int width);

    void show(const QString& text, const QIcon& icon = QIcon());
    void clear() { show(QString()); }

    QString text() const { return fullText; }
    QIcon icon() const { return shownIcon; }
    QString shownText() const;

    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void fitText();

    QLabel* iconLabel;
    QLabel* textLabel;
    QString fullText;
    QIcon shownIcon;
};
