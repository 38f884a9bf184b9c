#include "command_line/command_line.h"

#include "version.h"

#include <algorithm>
#include <cstdio>

namespace {

OptionResult setOption(const CommandLine &line, std::string_view name, const std::string &value,
                       std::string &error) {
    if (line.tuningFiles && (name == "scale" || name == "keyboard-map")) {
        if (value.empty()) {
            error = "--" + std::string(name) + ": no file named";
            return OptionResult::error;
        }
        (name == "scale" ? line.tuningFiles->scale : line.tuningFiles->keyboardMap) = value;
        return OptionResult::set;
    }
    if (line.sound) {
        switch (setSoundOption(name, value, *line.sound, error)) {
        case SoundOptionResult::set:
            return OptionResult::set;
        case SoundOptionResult::error:
            return OptionResult::error;
        case SoundOptionResult::notSoundOption:
            break;
        }
    }
    return line.set ? line.set(name, value, error) : OptionResult::unknown;
}

} // namespace

CommandLineResult parseCommandLine(int argc, char **argv, const CommandLine &line,
                                   std::string &error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (!line.arguments) {
                error = "unexpected argument '" + arg + "' (see --help)";
                return CommandLineResult::error;
            }
            line.arguments->push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return CommandLineResult::help;
        if (arg == "--version")
            return CommandLineResult::version;
        if (arg.rfind("--", 0) != 0) {
            error = "unknown option '" + arg + "'";
            return CommandLineResult::error;
        }
        std::string name = arg.substr(2);
        std::string value;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const bool flag = std::find(line.flags.begin(), line.flags.end(), name) != line.flags.end();
        if (flag && eq != std::string::npos) {
            error = "option '--" + name + "' takes no value";
            return CommandLineResult::error;
        }
        if (!flag && eq == std::string::npos) {
            if (i + 1 == argc) {
                // Only a known option needs a value; the empty value tells which.
                error = setOption(line, name, "", error) == OptionResult::unknown
                            ? "unknown option '" + arg + "'"
                            : "option '" + arg + "' needs a value";
                return CommandLineResult::error;
            }
            value = argv[++i];
        }
        switch (setOption(line, name, value, error)) {
        case OptionResult::set:
            break;
        case OptionResult::error:
            return CommandLineResult::error;
        case OptionResult::unknown:
            error = "unknown option '--" + name + "'";
            return CommandLineResult::error;
        }
    }
    return CommandLineResult::run;
}

int finishWithoutRunning(const char *program, CommandLineResult result, const std::string &usage,
                         const std::string &error) {
    switch (result) {
    case CommandLineResult::help:
        std::fputs(usage.c_str(), stdout);
        return 0;
    case CommandLineResult::version:
        std::printf("%s %s\n", program, kOndriluxVersion);
        return 0;
    case CommandLineResult::run:
    case CommandLineResult::error:
        break;
    }
    return failWith(program, kExitBadOptions, error);
}

int failWith(const char *program, int status, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return status;
}
