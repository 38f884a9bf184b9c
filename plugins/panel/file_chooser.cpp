#include "plugins/panel/file_chooser.h"

#include <dbus/dbus.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

struct FileChooser {
    FileChoice choice;
    std::atomic<FileChooserAnswer> answer{FileChooserAnswer::waiting};
    std::string path; // the chooser's thread's, until it sets the answer
    std::atomic<bool> closing{false};
    std::thread thread;
};

namespace {

// How often the chooser's thread looks whether the panel closes it.
constexpr int kLookMs = 100;
// How long the portal may take to say it shows the dialog (it may have to
// start first); the player then takes as long as they like.
constexpr int kPortalStartMs = 25000;

constexpr const char *kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char *kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char *kRequest = "org.freedesktop.portal.Request";

enum class Asked { answered, noneThere };

// The session bus's address: as the session says, or where systemd puts it.
std::string sessionBus() {
    if (const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        return address;
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string socket = runtime ? std::string(runtime) + "/bus" : "";
    return !socket.empty() && access(socket.c_str(), F_OK) == 0 ? "unix:path=" + socket : "";
}

// The path of a file:// URI, its %XX escapes decoded; "" for any other URI.
std::string pathOfUri(const std::string &uri) {
    if (uri.rfind("file://", 0) != 0)
        return "";
    const size_t start = uri.find('/', 7); // after the host, usually none
    std::string path;
    for (size_t i = start == std::string::npos ? uri.size() : start; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size()) {
            path += static_cast<char>(std::strtol(uri.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            path += uri[i];
        }
    }
    return path;
}

void appendString(DBusMessageIter &to, const std::string &s) {
    const char *text = s.c_str();
    dbus_message_iter_append_basic(&to, DBUS_TYPE_STRING, &text);
}

// One entry of an a{sv}: `key`, and a variant of signature `type` that
// `fill` writes.
template <typename Fill>
void appendOption(DBusMessageIter &dict, const char *key, const char *type, Fill &&fill) {
    DBusMessageIter entry, variant;
    dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    appendString(entry, key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, type, &variant);
    fill(variant);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&dict, &entry);
}

// One filter of the dialog, (sa(us)): a name and one glob pattern (kind 0).
void appendFilter(DBusMessageIter &filters, const std::string &name, const std::string &pattern) {
    DBusMessageIter filter, patterns, one;
    dbus_message_iter_open_container(&filters, DBUS_TYPE_STRUCT, nullptr, &filter);
    appendString(filter, name);
    dbus_message_iter_open_container(&filter, DBUS_TYPE_ARRAY, "(us)", &patterns);
    dbus_message_iter_open_container(&patterns, DBUS_TYPE_STRUCT, nullptr, &one);
    const dbus_uint32_t glob = 0;
    dbus_message_iter_append_basic(&one, DBUS_TYPE_UINT32, &glob);
    appendString(one, pattern);
    dbus_message_iter_close_container(&patterns, &one);
    dbus_message_iter_close_container(&filter, &patterns);
    dbus_message_iter_close_container(&filters, &filter);
}

// FileChooser.OpenFile(parent_window, title, options), its answer coming as
// the Response signal of the request whose path `token` names.
DBusMessage *openFileCall(const FileChoice &c, const std::string &token) {
    DBusMessage *call = dbus_message_new_method_call(
        kPortalName, kPortalPath, "org.freedesktop.portal.FileChooser", "OpenFile");
    if (!call)
        return nullptr;
    DBusMessageIter args, options;
    dbus_message_iter_init_append(call, &args);
    char parent[32] = "";
    if (c.parentWindow)
        std::snprintf(parent, sizeof parent, "x11:%lx", c.parentWindow);
    appendString(args, parent);
    appendString(args, c.title);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &options);
    appendOption(options, "handle_token", "s", [&](DBusMessageIter &v) { appendString(v, token); });
    appendOption(options, "modal", "b", [](DBusMessageIter &v) {
        const dbus_bool_t yes = TRUE;
        dbus_message_iter_append_basic(&v, DBUS_TYPE_BOOLEAN, &yes);
    });
    appendOption(options, "filters", "a(sa(us))", [&](DBusMessageIter &v) {
        DBusMessageIter filters;
        dbus_message_iter_open_container(&v, DBUS_TYPE_ARRAY, "(sa(us))", &filters);
        appendFilter(filters, c.filterName, c.pattern);
        appendFilter(filters, "All files", "*");
        dbus_message_iter_close_container(&v, &filters);
    });
    dbus_message_iter_close_container(&args, &options);
    return call;
}

// The first of the "uris" in a Response's results: a{sv}, "uris" as an array of strings.
std::string firstUri(DBusMessageIter &results) {
    DBusMessageIter entry, variant, uris;
    for (dbus_message_iter_recurse(&results, &entry);
         dbus_message_iter_get_arg_type(&entry) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&entry)) {
        DBusMessageIter pair;
        dbus_message_iter_recurse(&entry, &pair);
        const char *key = nullptr;
        dbus_message_iter_get_basic(&pair, &key);
        if (!dbus_message_iter_next(&pair) || std::strcmp(key, "uris") != 0)
            continue;
        dbus_message_iter_recurse(&pair, &variant);
        if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_ARRAY)
            continue;
        dbus_message_iter_recurse(&variant, &uris);
        if (dbus_message_iter_get_arg_type(&uris) == DBUS_TYPE_STRING) {
            const char *uri = nullptr;
            dbus_message_iter_get_basic(&uris, &uri);
            return uri;
        }
    }
    return "";
}

// The portal's answer to `request`, when `m` is it: chosen (with the path)
// or cancelled.
bool portalResponse(DBusMessage *m, const std::string &request, FileChooser &c,
                    FileChooserAnswer &answer) {
    if (!dbus_message_is_signal(m, kRequest, "Response") || !dbus_message_get_path(m) ||
        request != dbus_message_get_path(m))
        return false;
    DBusMessageIter args;
    dbus_uint32_t code = 2;
    if (dbus_message_iter_init(m, &args) &&
        dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_UINT32)
        dbus_message_iter_get_basic(&args, &code);
    c.path = code == 0 && dbus_message_iter_next(&args) ? pathOfUri(firstUri(args)) : "";
    answer = c.path.empty() ? FileChooserAnswer::cancelled : FileChooserAnswer::chosen;
    return true;
}

// Request.Close: the portal's dialog goes.
void closeRequest(DBusConnection *bus, const std::string &request) {
    if (DBusMessage *close =
            dbus_message_new_method_call(kPortalName, request.c_str(), kRequest, "Close")) {
        dbus_connection_send(bus, close, nullptr);
        dbus_connection_flush(bus);
        dbus_message_unref(close);
    }
}

// Asks the portal on a private connection, so the host's own stays
// untouched. None there: no session bus, no portal on it, or one without a
// file chooser (it answers the call with an error).
Asked askPortal(FileChooser &c, FileChooserAnswer &answer) {
    const std::string address = sessionBus();
    if (address.empty())
        return Asked::noneThere;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *bus = dbus_connection_open_private(address.c_str(), &error);
    if (bus && !dbus_bus_register(bus, &error)) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
        bus = nullptr;
    }
    dbus_error_free(&error);
    if (!bus)
        return Asked::noneThere;
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    // The request's path is known beforehand: its answer cannot come before
    // it is listened for.
    static std::atomic<int> counter{0};
    const std::string token =
        "ondrilux" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    std::string sender = dbus_bus_get_unique_name(bus) + 1; // ":1.42" -> "1_42"
    for (char &ch : sender)
        ch = ch == '.' ? '_' : ch;
    std::string request = std::string(kPortalPath) + "/request/" + sender + "/" + token;
    const std::string rule =
        std::string("type='signal',interface='") + kRequest + "',member='Response'";
    dbus_bus_add_match(bus, rule.c_str(), nullptr);

    Asked asked = Asked::noneThere;
    dbus_uint32_t serial = 0;
    DBusMessage *call = openFileCall(c.choice, token);
    if (call && dbus_connection_send(bus, call, &serial)) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kPortalStartMs);
        bool called = false, refused = false; // the portal showed the dialog, or answered an error
        while (asked == Asked::noneThere && !refused) {
            if (c.closing.load()) {
                if (called) { // the dialog goes with its request
                    closeRequest(bus, request);
                    asked = Asked::answered;
                    answer = FileChooserAnswer::cancelled;
                }
                break;
            }
            if ((!called && std::chrono::steady_clock::now() > deadline) ||
                !dbus_connection_read_write(bus, kLookMs))
                break;
            while (DBusMessage *m = dbus_connection_pop_message(bus)) {
                const char *handle = nullptr;
                if (!called && dbus_message_get_reply_serial(m) == serial) {
                    called = dbus_message_get_type(m) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
                             dbus_message_get_args(m, nullptr, DBUS_TYPE_OBJECT_PATH, &handle,
                                                   DBUS_TYPE_INVALID);
                    refused = !called;
                    if (called)
                        request = handle; // an old portal makes a path of its own
                } else if (portalResponse(m, request, c, answer)) {
                    asked = Asked::answered;
                }
                dbus_message_unref(m);
            }
        }
    }
    if (call)
        dbus_message_unref(call);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return asked;
}

// Runs a dialog program, its standard output (the path chosen) read as it
// comes; killed where the panel closes it. None there: not installed.
Asked askProgram(FileChooser &c, const std::vector<std::string> &args, FileChooserAnswer &answer) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return Asked::noneThere;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        return Asked::noneThere;
    }
    std::string said;
    for (bool open = true; open;) {
        if (c.closing.load()) {
            kill(pid, SIGKILL); // a dialog has nothing to save
            break;
        }
        pollfd readable{out[0], POLLIN, 0};
        if (poll(&readable, 1, kLookMs) <= 0)
            continue;
        char piece[4096];
        const ssize_t n = read(out[0], piece, sizeof piece);
        open = n > 0 || (n < 0 && errno == EINTR);
        if (n > 0)
            said.append(piece, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    const bool waited = waitpid(pid, &status, 0) == pid;
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r'))
        said.pop_back();
    // A host that ignores SIGCHLD leaves no status to wait for: its output tells.
    const bool chose = !c.closing.load() && !said.empty() &&
                       (!waited || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
    c.path = chose ? said : "";
    answer = chose ? FileChooserAnswer::chosen : FileChooserAnswer::cancelled;
    return Asked::answered;
}

void ask(FileChooser &c) {
    const FileChoice &f = c.choice;
    FileChooserAnswer answer = FileChooserAnswer::unavailable;
    const std::vector<std::string> zenity = {"zenity", "--file-selection", "--title=" + f.title,
                                             "--file-filter=" + f.filterName + " | " + f.pattern,
                                             "--file-filter=All files | *"};
    std::vector<std::string> kdialog = {"kdialog", "--title",
                                        f.title,   "--getopenfilename",
                                        ".",       f.filterName + " (" + f.pattern + ")"};
    if (f.parentWindow)
        kdialog.insert(kdialog.begin() + 1, {"--attach", std::to_string(f.parentWindow)});
    // Each in turn while none is there, unless the panel closes meanwhile.
    if (askPortal(c, answer) == Asked::noneThere && !c.closing.load() &&
        askProgram(c, zenity, answer) == Asked::noneThere && !c.closing.load() &&
        askProgram(c, kdialog, answer) == Asked::noneThere)
        answer = FileChooserAnswer::unavailable;
    c.answer.store(answer, std::memory_order_release);
}

} // namespace

FileChooser *startFileChooser(const FileChoice &choice) {
    auto *c = new (std::nothrow) FileChooser;
    if (!c)
        return nullptr;
    c->choice = choice;
    try {
        c->thread = std::thread(ask, std::ref(*c));
    } catch (const std::system_error &) {
        delete c;
        return nullptr;
    }
    return c;
}

FileChooserAnswer pollFileChooser(FileChooser *chooser, std::string &path) {
    const FileChooserAnswer answer = chooser->answer.load(std::memory_order_acquire);
    if (answer == FileChooserAnswer::chosen)
        path = chooser->path;
    return answer;
}

void closeFileChooser(FileChooser *chooser) {
    if (!chooser)
        return;
    chooser->closing.store(true);
    chooser->thread.join();
    delete chooser;
}
