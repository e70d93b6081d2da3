// korvanta: the desktop program.
#include <QApplication>

#include "app/application.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    kvt::CKorvantaApp korvanta;
    return korvanta.Run(QApplication::arguments());
}
