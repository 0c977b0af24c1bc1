#include "replyparser.h"

#include "resultcodes.h"

#include <QRegularExpression>

namespace ReplyParser {

using namespace ResultCode;

uint32_t parse(QString line, Reply& reply)
{
    const int colon = line.indexOf(QLatin1Char(':'));
    line.remove(0, colon < 0 ? line.size() : colon);

    static const QRegularExpression expression(
        QStringLiteral("^:([A-Z]{1,4})(-?\\d+)(?:,(-?\\d+))?(?:,(-?\\d+))?(?:,(-?\\d+))?\n$"));
    const QRegularExpressionMatch match = expression.match(line);
    // "$" would also match before a last line feed; the whole line must be the reply.
    if (!match.hasMatch() || match.capturedLength(0) != line.size())
        return MalformedReply;

    reply.name = match.captured(1);
    reply.count = 0;
    for (int capture = 2; capture <= 5; ++capture) {
        const QString value = match.captured(capture);
        if (value.isEmpty())
            continue;
        bool ok = false;
        const uint32_t converted =
            value.startsWith(QLatin1Char('-')) ? static_cast<uint32_t>(value.toInt(&ok)) : value.toUInt(&ok);
        if (!ok)
            return ValueOutOfRange;
        reply.values[reply.count++] = converted;
    }
    return 0;
}

} // namespace ReplyParser
