#include "termiossettings.h"

#include <iterator>

namespace TermiosSettings {

namespace {

struct SpeedEntry
{
    uint32_t baudRate;
    speed_t speed;
};

constexpr SpeedEntry speedTable[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

} // namespace

bool speedForBaudRate(uint32_t baudRate, speed_t& speed)
{
    for (const SpeedEntry& entry : speedTable) {
        if (entry.baudRate == baudRate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool baudRateForSpeed(speed_t speed, uint32_t& baudRate)
{
    for (const SpeedEntry& entry : speedTable) {
        if (entry.speed == speed) {
            baudRate = entry.baudRate;
            return true;
        }
    }
    return false;
}

bool applyLineSettings(termios& settings, uint32_t baudRate)
{
    speed_t speed;
    if (!speedForBaudRate(baudRate, speed))
        return false;

    termios line = settings;
    if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0)
        return false;

    // 8N1, receiver on, modem-control lines ignored. CRTSCTS is not touched.
    line.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
    line.c_cflag &= ~tcflag_t(CMSPAR);
#endif
    line.c_cflag |= CS8 | CREAD | CLOCAL;

    // Bytes come in as they were sent: no break or parity handling, no stripping, no CR/LF translation.
    // IXON, IXOFF and IXANY are the port's flow control and stay as they are.
    line.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL);
#ifdef IUCLC
    line.c_iflag &= ~tcflag_t(IUCLC);
#endif
#ifdef IMAXBEL
    line.c_iflag &= ~tcflag_t(IMAXBEL);
#endif

    // Bytes go out as they were written.
    line.c_oflag &= ~tcflag_t(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);

    // No line editing, echo or signal characters.
    line.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);

    // A read is satisfied by one byte and poll() reports input as soon as one byte is there; the time-out is
    // the reader's own.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;

    settings = line;
    return true;
}

} // namespace TermiosSettings
