// ondrilux-jack: the sound engine as a low-latency JACK instrument.
#include "jack_instrument/jack_instrument.h"
#include "tuning_files/scala_files.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>

namespace {

constexpr int kExitNoServer = 1;
// A client whose process callback has not run this long after its activation,
// while the server reports xruns, is stuck; it is opened again this many
// times at most.
constexpr std::chrono::seconds kWatch{1};
constexpr int kMaxReopens = 3;

int fail(int status, const std::string &message) {
    return failWith("ondrilux-jack", status, message);
}

// Lives as long as the process: JACK's threads reach it until the client closes.
JackInstrument instrument;

} // namespace

int main(int argc, char **argv) {
    InstrumentOptions options;
    std::string error;
    if (const CommandLineResult result = parseInstrumentOptions(argc, argv, options, error);
        result != CommandLineResult::run)
        return finishWithoutRunning("ondrilux-jack", result, instrumentUsage(), error);
    // The files are checked before any server is looked for.
    if (!readTuningFiles(options.tuningFiles.scale, options.tuningFiles.keyboardMap,
                         options.sound.tuning, error))
        return fail(kExitBadOptions, error);

    // SIGINT and SIGTERM wait for the main thread: blocked here, before JACK
    // starts its threads, they are blocked in those threads too.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!openJackInstrument(instrument, options, error))
        return fail(kExitNoServer, error);
    std::vector<std::string> warnings;
    if (!startJackInstrument(instrument, options, warnings, error)) {
        closeJackInstrument(instrument);
        return fail(kExitNoServer, error);
    }
    // JACK gives a taken name a number: say which name the ports are under.
    if (const std::string name = jack_get_client_name(instrument.client); name != options.name)
        warnings.push_back("the name '" + options.name + "' is taken: running as '" + name + "'");
    for (const std::string &warning : warnings)
        std::fprintf(stderr, "ondrilux-jack: %s\n", warning.c_str());
    auto activated = std::chrono::steady_clock::now();
    int reopens = 0;

    // The server's leaving is seen within this tick.
    const timespec tick{0, 50'000'000};
    for (;;) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            closeJackInstrument(instrument);
            return 0;
        }
        // JACK's client library can leave a new client waiting for good on a
        // dead client's wake-up slot (when another program's short-lived
        // client came and went while it opened): it never plays, and the
        // server reports xruns. A new client takes a new slot; it is opened
        // with the same name and connections. A graph that does not run at
        // all reports no xruns and is waited for.
        if (!instrument.ran.get() && instrument.xrunSeen.get() && !instrument.serverGone.get() &&
            std::chrono::steady_clock::now() - activated >= kWatch) {
            closeJackInstrument(instrument);
            if (reopens == kMaxReopens)
                return fail(kExitNoServer, "JACK does not run the client (it was opened four "
                                           "times); start ondrilux-jack again");
            ++reopens;
            std::vector<std::string> again;
            if (!openJackInstrument(instrument, options, error) ||
                !startJackInstrument(instrument, options, again, error)) {
                closeJackInstrument(instrument);
                return fail(kExitNoServer, error);
            }
            activated = std::chrono::steady_clock::now();
        }
        if (instrument.serverGone.get()) {
            closeJackInstrument(instrument);
            return fail(kExitNoServer, "the JACK server went away");
        }
        if (instrument.rateChanged.get()) {
            closeJackInstrument(instrument);
            return fail(kExitNoServer, "the JACK server changed its sample rate; start "
                                       "ondrilux-jack again to play at the new one");
        }
    }
}
