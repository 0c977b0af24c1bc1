#include "reportfile.h"

#include "runrecordjson.h"

#include <QFile>

bool ReportFile::open(const QString& path, QString& error)
{
    filePath = path;
    std::string reason;
    if (file.open(QFile::encodeName(path).toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool ReportFile::append(const RunRecord& record, QString& error)
{
    std::string reason;
    if (file.append(RunRecordJson::toLine(record).toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}
