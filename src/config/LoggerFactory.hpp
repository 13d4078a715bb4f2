// The log4cplus set-up of the module. Appenders are attached here and nowhere
// else: the console appender "default" of the start-up and the appender
// "config" of every re-targeting, all in one line layout.
//
// log4cplus initialisation: the shared log4cplus library initialises itself
// from its own static initialiser when it is loaded, and the loader runs that
// before the constructor functions of anything linked against it, so the
// loggers work when InitLogger runs at load time. InitLogger still calls
// log4cplus::initialize() first (a no-op once done) so that a statically
// linked log4cplus is set up as well. Programs that want an orderly shutdown
// of log4cplus (its appenders closed before exit) keep a log4cplus::Initializer.
#pragma once

#include <string>

#include <log4cplus/logger.h>

namespace Tarv {
namespace Logging {

class LoggerFactory {
public:
    // Gives the root logger the console appender "default" (standard output,
    // no flush after each record) and the level INFO; returns the root logger.
    // A root logger that already carries "default" or "config" (an earlier
    // start-up in this process) is left as it is.
    static log4cplus::Logger InitLogger();

    // Re-targets one logger (empty name: the root logger) to the console
    // (empty file) or to a file opened for appending and flushed after each
    // record, as its appender "config", replacing its own "default" and
    // "config" appenders, and sets its level from the level name. True when
    // the logger had its own "config" before, or is the root logger and
    // still had "default". Raises nothing but allocation failures: a file
    // that cannot be opened is reported by log4cplus's internal diagnostic.
    static bool ConfigLogger(const std::string& name, const std::string& level,
                             const std::string& file);
};

}  // namespace Logging
}  // namespace Tarv
