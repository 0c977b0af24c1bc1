#include "qtserialportline.h"

bool QtSerialPortLine::open(const std::string& path)
{
    port.setPortName(QString::fromStdString(path));
    return port.open(QIODevice::ReadWrite) && port.setBaudRate(QSerialPort::Baud115200);
}

bool QtSerialPortLine::exchange()
{
    if (port.write(":GS0\n", 5) != 5)
        return false;
    while (!port.canReadLine()) {
        if (!port.waitForReadyRead(500))
            return false;
    }
    return port.readLine() == ":S0,0\n";
}
