// Fixed values of the logging set-up and of the configurator.
#pragma once

namespace Tarv {
namespace Logging {
namespace detail {

// Layout of every appender the logger factory makes.
constexpr const char* kLayoutPattern = "%D{%Y-%m-%d %H:%M:%S,%q} - %p - Thread: %t - %m%n";
// The console appender of the start-up.
constexpr const char* kDefaultAppenderName = "default";
// The appender ConfigLogger puts in place.
constexpr const char* kConfigAppenderName = "config";

}  // namespace detail
}  // namespace Logging

namespace Browser {
namespace detail {

constexpr const char* kConfiguratorLoggerName = "Configurator";

// The option that names the INI file, in the argument text and the environment.
constexpr const char* kConfigOption = "config,c";
constexpr const char* kConfigOptionLongName = "config";
constexpr const char* kConfigOptionHelp = "Configuration INI file.";
constexpr const char* kArgumentsCaption = "Allowed options";
constexpr const char* kEnvironmentCaption = "Allowed environment options";

// The logging options added to the caller's description, after "<section>".
constexpr const char* kLogLevelKey = ".logLevel";
constexpr const char* kLogLevelDefault = "INFO";
constexpr const char* kLogLevelHelp = "Log level.";
constexpr const char* kLogFileKey = ".logFile";
constexpr const char* kLogFileHelp = "Log file store path.";

// Tried when neither the arguments, the environment nor the default name
// give an existing file.
constexpr const char* kFallbackIniName = "app.ini";
// Replaced (first occurrence only) by the process id in the log file path.
constexpr const char* kPidPlaceholder = "{pid}";

}  // namespace detail
}  // namespace Browser
}  // namespace Tarv
