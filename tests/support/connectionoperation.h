#pragma once

#include "vkrconnection.h"

#include <QMetaType>

#include <functional>

// One of the connection's operations as a test row carries it, argument included: it runs on the
// connection and returns the result; value receives the out-value of an operation that has one, and is
// left alone by the others.
using ConnectionOperation = std::function<uint32_t(VKRConnection& connection, uint32_t& value)>;
Q_DECLARE_METATYPE(ConnectionOperation)

namespace Operation {

inline ConnectionOperation close()
{
    return [](VKRConnection& connection, uint32_t&) { return connection.close(); };
}

inline ConnectionOperation channels()
{
    return [](VKRConnection& connection, uint32_t& count) { return connection.getNumberOfChannels(count); };
}

inline ConnectionOperation sensorMode()
{
    return [](VKRConnection& connection, uint32_t& mode) { return connection.getSensorEnabled(mode); };
}

inline ConnectionOperation setSensorMode(uint32_t mode)
{
    return [mode](VKRConnection& connection, uint32_t&) { return connection.setSensorEnabled(mode); };
}

inline ConnectionOperation calibrate(uint32_t channel)
{
    return [channel](VKRConnection& connection, uint32_t&) { return connection.calibrateSensor(channel); };
}

inline ConnectionOperation status(uint32_t channel)
{
    return [channel](VKRConnection& connection, uint32_t& status) {
        return connection.getStatus(channel, status);
    };
}

inline ConnectionOperation stop(uint32_t channel)
{
    return [channel](VKRConnection& connection, uint32_t&) { return connection.stop(channel); };
}

} // namespace Operation
