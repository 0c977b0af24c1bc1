#include "reportfile.h"

#include "runreport.h"

#include <QFile>
#include <QJsonDocument>

bool ReportFile::open(const QString& path, QString& error)
{
    std::string reason;
    if (file.open(QFile::encodeName(path).toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}

bool ReportFile::append(const QString& locator, const RunRecord& record, QString& error)
{
    const QByteArray line =
        QJsonDocument(RunReport::toJson(locator, record)).toJson(QJsonDocument::Compact) + '\n';
    std::string reason;
    if (file.append(line.toStdString(), reason))
        return true;
    error = QString::fromLocal8Bit(reason.c_str());
    return false;
}
