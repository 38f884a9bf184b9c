// ondrilux-jack: the sound engine as a low-latency JACK instrument.
#include "jack_instrument/jack_instrument.h"

#include <csignal>
#include <cstdio>
#include <ctime>
#include <pthread.h>

namespace {

constexpr int kExitNoServer = 1;

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

    // The server's leaving is seen within this tick.
    const timespec tick{0, 50'000'000};
    for (;;) {
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal == SIGINT || signal == SIGTERM) {
            closeJackInstrument(instrument);
            return 0;
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
