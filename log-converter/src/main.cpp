// vrex-log-converter: follows the audit log and writes container events to
// the container event log (daemon mode), or converts a whole audit log at once
// (--convert).
#include "batch.h"
#include "config.h"
#include "daemon.h"
#include "log_converter.h"
#include "logger.h"
#include "sys_util.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifndef VREX_VERSION
#define VREX_VERSION "unknown"
#endif

namespace {

constexpr const char *kUsage = "Usage: vrex-log-converter [--config PATH]\n"
                               "       vrex-log-converter --convert INPUT [--output FILE] [--config PATH]\n"
                               "\n"
                               "Without --convert, follows the audit log named in the configuration and\n"
                               "appends one line per container denial or detection to the event log.\n"
                               "\n"
                               "  --convert INPUT  convert the whole audit log INPUT from its start, print a\n"
                               "                   summary on standard error and exit\n"
                               "  --output FILE    append the events to FILE instead of the configured\n"
                               "                   output_log (only with --convert)\n"
                               "  --config PATH    configuration file (default /etc/vrex/vrex-log-converter.conf)\n"
                               "  --help           show this help and exit\n"
                               "  --version        show the version and exit\n";

int usageError(const std::string &problem) {
    vrex::writeAll(STDERR_FILENO, "vrex-log-converter: " + problem + "\n" + kUsage);
    return 2;
}

struct Options {
    std::string configPath = vrex::kDefaultConfigPath;
    bool explicitConfig = false;
    std::string input;
    std::string output;
    bool convert = false;
    bool haveOutput = false;
};

// Reads the command line into *opt. Returns the exit status when the
// program is done already (help, version, a usage error), -1 otherwise.
int parseArguments(int argc, char **argv, Options *opt) {
    bool seenConvert = false, seenOutput = false, seenConfig = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](std::string &target) -> bool {
            if (i + 1 >= argc)
                return false;
            target = argv[++i];
            return true;
        };
        // Given twice, one of the two would be silently ignored.
        bool *seen = arg == "--convert"  ? &seenConvert
                     : arg == "--output" ? &seenOutput
                     : arg == "--config" ? &seenConfig
                                         : nullptr;
        if (seen && std::exchange(*seen, true))
            return usageError(std::string(arg) + " given more than once");
        if (arg == "--help" || arg == "-h") {
            vrex::writeAll(STDOUT_FILENO, kUsage);
            return 0;
        }
        if (arg == "--version") {
            vrex::writeAll(STDOUT_FILENO, "vrex-log-converter " VREX_VERSION "\n");
            return 0;
        }
        if (arg == "--convert") {
            if (!value(opt->input))
                return usageError("--convert needs an input file");
            opt->convert = true;
        } else if (arg == "--output") {
            if (!value(opt->output))
                return usageError("--output needs a file");
            opt->haveOutput = true;
        } else if (arg == "--config") {
            if (!value(opt->configPath))
                return usageError("--config needs a path");
            opt->explicitConfig = true;
        } else {
            return usageError("unknown argument: " + std::string(arg));
        }
    }
    if (opt->haveOutput && !opt->convert)
        return usageError("--output only goes with --convert");
    if (opt->convert && opt->input.empty())
        return usageError("--convert needs an input file");
    if (opt->haveOutput && opt->output.empty())
        return usageError("--output needs a file");
    return -1;
}

// Reads the configuration, starts the diagnostic log and records in it what
// was wrong with the configuration; sets the debug mode everywhere.
vrex::Config setUp(const Options &opt) {
    std::vector<std::string> warnings;
    vrex::Config config = vrex::loadConfig(opt.configPath, &warnings);
    struct stat st;
    if (opt.explicitConfig && ::stat(opt.configPath.c_str(), &st) != 0 && errno == ENOENT)
        warnings.push_back("configuration " + opt.configPath + " not found; using the defaults");

    vrex::Logger &logger = vrex::Logger::getInstance();
    // In batch mode standard output may carry the events (--output
    // /dev/stdout): the logger's own lines go to standard error.
    if (opt.convert)
        logger.setConsole(STDERR_FILENO);
    logger.init(vrex::kDiagnosticLogPath, config.debug);
    for (const std::string &w : warnings)
        logger.log(vrex::Logger::WARN, w);
    // The configured debug mode, set (and recorded in the log) for the
    // logger and the converter alike.
    logger.setDebugMode(config.debug);
    vrex::LogConverter::setDebugMode(config.debug);
    vrex::LogConverter::getInstance();
    return config;
}

}  // namespace

int main(int argc, char **argv) {
    // Standard output and error may be pipes whose reader is gone; a write
    // there then fails (and is dropped) instead of killing the program.
    signal(SIGPIPE, SIG_IGN);
    Options opt;
    if (int status = parseArguments(argc, argv, &opt); status >= 0)
        return status;
    vrex::Config config = setUp(opt);
    if (opt.convert)
        return vrex::runBatch(opt.input, opt.haveOutput ? opt.output : config.outputLog);
    return vrex::runDaemon(config);
}
