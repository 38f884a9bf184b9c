#pragma once

#include "command_line/sound_options.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The command line shared by the programs beside the synth: --name value or
// --name=value, the sound options, --help, --version, and "--" before
// arguments that start with a dash.
enum class CommandLineResult { run, help, version, error };

enum class OptionResult { set, unknown, error };

struct CommandLine {
    SoundOptions *sound = nullptr;      // where the sound options go
    TuningFiles *tuningFiles = nullptr; // where --scale and --keyboard-map go
    // Options that take no value ("no-connect"): `set` gets "" as the value.
    std::vector<std::string_view> flags;
    // The program's own options; a name it does not know is `unknown`.
    std::function<OptionResult(std::string_view name, const std::string &value, std::string &error)>
        set;
    // The arguments that are no option, in order.
    std::vector<std::string> *arguments = nullptr;
};

// Reads the command line. On error `error` holds a one-line description.
CommandLineResult parseCommandLine(int argc, char **argv, const CommandLine &line,
                                   std::string &error);

// Bad command lines end with this status (after one line on stderr).
inline constexpr int kExitBadOptions = 2;

// One line "program: message" on stderr; returns `status` to end with.
int failWith(const char *program, int status, const std::string &message);

// What a command line that does not run ends with: the usage or the version on
// stdout (status 0), or the error as one line "program: error" on stderr
// (kExitBadOptions).
int finishWithoutRunning(const char *program, CommandLineResult result, const std::string &usage,
                         const std::string &error);
