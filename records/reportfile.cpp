#include "reportfile.h"

#include "runrecordjson.h"

#include <QFile>

bool ReportFile::open(const QString& path, QString& error)
{
    filePath = path;
    std::string reason;
    if (file.open(QFile::encodeName(path).toStdString(), DurableLineFile::Accepts::AnyFile, reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool ReportFile::append(const RunRecord& record, QString& error)
{
    return appendLines(RunRecordJson::toLine(record).toStdString(), error);
}

bool ReportFile::appendAll(const QVector<RunRecord>& records, QString& error)
{
    return appendLines(RunRecordJson::toLines(records).toStdString(), error);
}

bool ReportFile::appendLines(const std::string& lines, QString& error)
{
    std::string reason;
    if (file.append(lines, reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}
