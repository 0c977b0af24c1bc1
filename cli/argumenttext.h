// The command line's arguments as text that keeps every byte the user gave, and that text in a
// form safe to show on a terminal.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class ArgumentText
{
public:
    // The arguments in argv as QCoreApplication left it (it takes out Qt's own options). An argument
    // that the locale's encoding decodes exactly is the text Qt makes of it. In one that it does
    // not, every byte outside a well-formed UTF-8 character stands as the lone surrogate U+DC80 +
    // the byte, which no decoder produces: where Qt would put U+FFFD and lose the byte.
    static QStringList fromCommandLine(int argc, char* argv[]);
    static QString decode(const QByteArray& bytes);

    // The text with its control characters escaped (\n, \t, \r, \x1b; \u0085 for C1 controls) and
    // every byte that stood for itself as \xff, so that a locator or a reason with such characters
    // shows what it holds and cannot move the cursor or change a terminal's state.
    static QString shown(const QString& text);
};
