// The seed of a stress run: VKR_STRESS_SEED when set (to replay a run), else a fresh one. It is
// printed, so that any failing run can be replayed.
#pragma once

#include <QRandomGenerator>
#include <QtGlobal>

inline quint32 stressSeed()
{
    const quint32 seed = qEnvironmentVariableIsSet("VKR_STRESS_SEED")
                             ? quint32(qEnvironmentVariableIntValue("VKR_STRESS_SEED"))
                             : QRandomGenerator::global()->generate();
    qInfo("seed %u (set VKR_STRESS_SEED=%u to replay)", seed, seed);
    return seed;
}
