// messageBox: a modal box with one OK button and no icon.

#include "toolkit/registry.h"

#include <QApplication>
#include <QMessageBox>

namespace tk {

void messageBox(const char *title, const char *text) {
    if (!ensureApplication())
        return;
    QMessageBox box(QMessageBox::NoIcon, fromNativeText(title), fromNativeText(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

} // namespace tk
