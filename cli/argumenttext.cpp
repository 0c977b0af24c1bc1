#include "argumenttext.h"

#include <QCoreApplication>

namespace {

constexpr char16_t ByteStandIn = 0xDC00; // + the byte, from 0x80: U+DC80 to U+DCFF

// The length of the well-formed UTF-8 character at bytes[at] (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0.
int characterLength(const QByteArray& bytes, int at)
{
    const auto byte = [&](int i) { return static_cast<unsigned char>(bytes.at(i)); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else
        return 0;
    if (at + length > bytes.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    }
    return length;
}

QString hex(uint value, int digits)
{
    return QString::number(value, 16).rightJustified(digits, QLatin1Char('0'));
}

} // namespace

QStringList ArgumentText::fromCommandLine(int argc, char* argv[])
{
#ifdef Q_OS_WIN
    // Windows hands Qt the command line as UTF-16: nothing is lost.
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return QCoreApplication::arguments();
#else
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << decode(QByteArray(argv[i]));
    return arguments;
#endif
}

QString ArgumentText::decode(const QByteArray& bytes)
{
    const QString decoded = QString::fromLocal8Bit(bytes);
    if (decoded.toLocal8Bit() == bytes)
        return decoded;
    QString text;
    for (int at = 0; at < bytes.size();) {
        const int length = characterLength(bytes, at);
        if (length == 0) {
            text += QChar(ByteStandIn + static_cast<unsigned char>(bytes.at(at)));
            ++at;
            continue;
        }
        text += QString::fromUtf8(bytes.constData() + at, length);
        at += length;
    }
    return text;
}

QString ArgumentText::shown(const QString& text)
{
    QString shown;
    for (int i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            shown += text.mid(i, 2);
            ++i;
        } else if (c == u'\n')
            shown += QStringLiteral("\\n");
        else if (c == u'\t')
            shown += QStringLiteral("\\t");
        else if (c == u'\r')
            shown += QStringLiteral("\\r");
        else if (c < 0x20 || c == 0x7F)
            shown += QStringLiteral("\\x") + hex(c, 2);
        else if (c >= 0x80 && c <= 0x9F)
            shown += QStringLiteral("\\u") + hex(c, 4);
        else if (c >= ByteStandIn + 0x80 && c <= ByteStandIn + 0xFF)
            shown += QStringLiteral("\\x") + hex(c - ByteStandIn, 2);
        else if (QChar::isSurrogate(c))
            shown += QStringLiteral("\\u") + hex(c, 4); // a half of no pair: nothing to show
        else
            shown += QChar(c);
    }
    return shown;
}
