#include "mydialogwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Lives until the process ends; the window is the program.
    auto *window = new MyDialogWindow();
    window->show();
    return application.exec();
}
