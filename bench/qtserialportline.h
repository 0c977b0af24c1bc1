// The anchor of the protocol benchmark: the same status exchange made with Qt Serial Port, the
// way a Qt program would write it (write, waitForReadyRead until a line is there, readLine).
// Built only where Qt Serial Port is installed.
#pragma once

#include <QSerialPort>
#include <string>

class QtSerialPortLine
{
public:
    bool open(const std::string& path);
    // One exchange; false when the reply is not the expected one or does not come.
    bool exchange();

private:
    QSerialPort port;
};
