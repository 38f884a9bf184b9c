// init and shutdown: the one QApplication of the process.

#include "toolkit/cross_thread.h"
#include "toolkit/registry.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace tk {

namespace {
std::unique_ptr<QApplication> application;

// A message box may be needed before init (or without it, in a tool): the
// application then gets a name and no arguments.
int fallbackArgc = 1;
char fallbackName[] = "ondrilux";
char *fallbackArgv[] = {fallbackName, nullptr};

// Without a window system to connect to (none named, unreachable, or refusing
// the connection), Qt's platform plugins warn and the application's
// constructor ends the process with qFatal, that is abort(). While the
// constructor runs, its messages are held back (and the window-system
// libraries' own prints to stderr dropped); on the fatal one the first of them
// is the reason handed to the program's noDisplay, and the process ends with
// status 1 instead of the abort. Otherwise they go out as usual afterwards.
struct HeldMessage {
    QtMsgType type;
    const char *category; // Qt's categories are static strings
    QString text;
};
NoDisplayHandler noDisplayHandler = nullptr;
QtMessageHandler previousHandler = nullptr;
// The xcb plugin's event thread may report while the constructor runs.
std::mutex heldMessagesLock;
std::vector<HeldMessage> heldMessages;
int savedStderr = -1;

void restoreStderr() {
    if (savedStderr < 0)
        return;
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    savedStderr = -1;
}

void startUpMessage(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    const std::lock_guard<std::mutex> hold(heldMessagesLock);
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.category, message});
        return;
    }
    restoreStderr();
    std::string reason =
        heldMessages.empty() ? message.toStdString() : heldMessages.front().text.toStdString();
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") &&
        !std::getenv("QT_QPA_PLATFORM"))
        reason = "neither DISPLAY nor WAYLAND_DISPLAY is set";
    if (noDisplayHandler)
        noDisplayHandler(reason.c_str());
    std::_Exit(1);
}

// When the window system goes away under the windows (the X server ends), Qt
// says so and calls exit(), whose handlers and destructors then run while the
// program's other threads still use what they destroy. So the break is taken
// first: the program's handler ends the process. Seen by the message Qt
// writes about it (any thread), or failing that, by the exit itself.
std::atomic<DisplayLostHandler> displayLostHandler{nullptr};
QtMessageHandler handlerBeforeWatch = nullptr;

bool x11ConnectionBroken() {
    const auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    const auto *x11 = app ? app->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 && x11->connection() && xcb_connection_has_error(x11->connection()) != 0;
}

[[noreturn]] void endForLostDisplay(DisplayLostHandler handler) {
    handler();
    std::_Exit(1);
}

// Qt's own line about the break is left out: the handler says it.
void watchForLostDisplay(QtMsgType type, const QMessageLogContext &context,
                         const QString &message) {
    const DisplayLostHandler handler = displayLostHandler.load();
    if (handler && x11ConnectionBroken())
        endForLostDisplay(handler);
    handlerBeforeWatch(type, context, message);
}

// At exit while the application still stands: nobody but Qt ends the process
// so (the program shuts the toolkit down before it returns).
void exitWithApplication() {
    const DisplayLostHandler handler = displayLostHandler.load();
    if (handler && application)
        endForLostDisplay(handler);
}

bool startApplication(int &argc, char **argv) {
    if (!QCoreApplication::instance()) {
        std::fflush(stderr);
        savedStderr = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
        previousHandler = qInstallMessageHandler(startUpMessage);
        application = std::make_unique<QApplication>(argc, argv);
        qInstallMessageHandler(previousHandler);
        restoreStderr();
        const std::lock_guard<std::mutex> hold(heldMessagesLock);
        for (const HeldMessage &m : heldMessages)
            previousHandler(m.type, QMessageLogContext(nullptr, 0, nullptr, m.category), m.text);
        heldMessages.clear();
    }
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

bool init(int &argc, char **argv, NoDisplayHandler noDisplay) {
    noDisplayHandler = noDisplay;
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

void setDisplayLostHandler(DisplayLostHandler handler) {
    if (!displayLostHandler.exchange(handler)) {
        handlerBeforeWatch = qInstallMessageHandler(watchForLostDisplay);
        // Registered late, so it runs before the exit handlers of what the
        // application set up.
        std::atexit(exitWithApplication);
    }
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
