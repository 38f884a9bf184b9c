// init and shutdown: the one QApplication of the process.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QApplication>
#include <QIcon>

#include <vector>

namespace tk {

namespace {
std::unique_ptr<QApplication> application;

// A message box may be needed before init (or without it, in a tool): the
// application then gets a name and no arguments.
int fallbackArgc = 1;
char fallbackName[] = "ondrilux";
char *fallbackArgv[] = {fallbackName, nullptr};

bool startApplication(int &argc, char **argv) {
    if (!QCoreApplication::instance())
        application = std::make_unique<QApplication>(argc, argv);
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return false;
    // Windows end only when the program destroys them; the close box merely
    // reports a Close event.
    QApplication::setQuitOnLastWindowClosed(false);
    return startWatchingPostedTexts();
}
} // namespace

bool ensureApplication() {
    if (qobject_cast<QApplication *>(QCoreApplication::instance()))
        return true;
    return startApplication(fallbackArgc, fallbackArgv);
}

bool init(int &argc, char **argv) {
    return startApplication(argc, argv);
}

void setApplicationIdentity(const char *appId) {
    if (!ensureApplication())
        return;
    const QString id = QString::fromUtf8(appId);
    QGuiApplication::setDesktopFileName(id);
    // PNG renderings: Qt reads them without the optional SVG plugin.
    QIcon icon;
    for (const char *size : {"48x48", "256x256"})
        icon.addFile(QStringLiteral(":/icons/%1/apps/%2.png").arg(QLatin1String(size), id));
    QApplication::setWindowIcon(icon);
}

void shutdown() {
    std::vector<int> open;
    for (const auto &entry : windows)
        open.push_back(entry.first);
    for (int window : open)
        destroyWindow(window);
    menus.clear();
    stopWatchingPostedTexts();
    application.reset();
}

} // namespace tk
