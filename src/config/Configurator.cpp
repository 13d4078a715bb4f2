#include "config/Configurator.hpp"

#include <exception>
#include <fstream>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include "config/Log.hpp"
#include "config/LoggerFactory.hpp"
#include "config/detail/Constants.hpp"

namespace po = boost::program_options;

namespace Tarv {
namespace Browser {

boost::shared_ptr<Configurator> Configurator::instance;

namespace {

// A description knowing only the option that names the INI file.
po::options_description ConfigFileOnly(const char* caption) {
    po::options_description description(caption);
    description.add_options()(detail::kConfigOption,
                              po::value<std::string>()->default_value(std::string()),
                              detail::kConfigOptionHelp);
    return description;
}

bool FileExists(const std::string& name) { return boost::filesystem::exists(name); }

}  // namespace

std::string Configurator::MapEnvOptions(const po::options_description& description,
                                        const std::string& prefix, const std::string& variable) {
    for (const auto& option : description.options()) {
        const std::string& longName = option->long_name();
        if (prefix + "_" + boost::algorithm::to_upper_copy(longName) == variable) return longName;
    }
    return std::string();
}

Configurator::Configurator(int pid_, const std::vector<std::string>& words,
                           const std::string& environmentPrefix, const std::string& section_,
                           const std::string& defaultIni, po::options_description& description,
                           FromWords)
    : pid(pid_), configFile(), section(section_), variables() {
    log4cplus::Logger logger = log4cplus::Logger::getInstance(detail::kConfiguratorLoggerName);
    try {
        const po::options_description allowed = ConfigFileOnly(detail::kArgumentsCaption);

        const std::string levelKey = section + detail::kLogLevelKey;
        const std::string fileKey = section + detail::kLogFileKey;
        description.add_options()(levelKey.c_str(),
                                  po::value<std::string>()->default_value(detail::kLogLevelDefault),
                                  detail::kLogLevelHelp)(
            fileKey.c_str(), po::value<std::string>()->default_value(std::string()),
            detail::kLogFileHelp);

        po::store(po::command_line_parser(words).options(allowed).allow_unregistered().run(),
                  variables);
        configFile = variables[detail::kConfigOptionLongName].as<std::string>();

        if (configFile.empty() || !FileExists(configFile)) {
            const po::options_description environment =
                ConfigFileOnly(detail::kEnvironmentCaption);
            po::variables_map fromEnvironment;
            const std::string prefix = environmentPrefix;
            po::store(po::parse_environment(environment,
                                            [environment, prefix](const std::string& variable) {
                                                return MapEnvOptions(environment, prefix, variable);
                                            }),
                      fromEnvironment);
            configFile = fromEnvironment[detail::kConfigOptionLongName].as<std::string>();

            if (configFile.empty() || !FileExists(configFile)) {
                configFile = defaultIni;
                if (!FileExists(configFile) && FileExists(detail::kFallbackIniName))
                    configFile = detail::kFallbackIniName;
            }
        }

        // A file that cannot be opened leaves the stream failed: no lines,
        // every option keeps its default.
        std::ifstream stream(configFile.c_str());
        po::store(po::parse_config_file(stream, description, true), variables);
        po::notify(variables);

        const std::string level = variables[levelKey].as<std::string>();
        std::string file = variables[fileKey].as<std::string>();
        if (level != detail::kLogLevelDefault || !file.empty()) {
            const std::string placeholder = detail::kPidPlaceholder;
            const std::string::size_type at = file.find(placeholder);
            if (at != std::string::npos) file.replace(at, placeholder.size(), std::to_string(pid));
            Tarv::Logging::LoggerFactory::ConfigLogger(std::string(), level, file);
        }
    } catch (const std::exception& error) {
        TARV_LOG(logger, log4cplus::FATAL_LOG_LEVEL, Tarv::Logging::kSourceConfig,
                 "Unable to configurate => " << error.what());
        throw;
    } catch (...) {
        TARV_LOG(logger, log4cplus::FATAL_LOG_LEVEL, Tarv::Logging::kSourceConfig,
                 "Unable to configurate.");
        throw;
    }

    if (!FileExists(configFile)) configFile.clear();
    TARV_LOG(logger, log4cplus::INFO_LOG_LEVEL, Tarv::Logging::kSourceConfig,
             "Configuration file: " << configFile);
}

}  // namespace Browser
}  // namespace Tarv
