#include "appearance.h"
#include "mydialogwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    enable_high_dpi_scaling();
    QApplication application(argc, argv);
    use_form_font();
    // Lives until the process ends; the window is the program.
    auto *window = new MyDialogWindow();
    window->show();
    return application.exec();
}
