#include "vkrcalibrator.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    VKRCalibrator window;
    window.show();
    QObject::connect(&application, &QApplication::lastWindowClosed, &application, &QApplication::quit);
    return application.exec();
}
