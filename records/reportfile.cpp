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

bool ReportFile::appendAll(const QVector<RunRecord>& records, QString& error)
{
    std::string reason;
    if (file.append(RunRecordJson::toLines(records).toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}
