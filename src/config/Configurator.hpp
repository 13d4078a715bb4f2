// The configuration of the module, gathered once while it is loaded.
//
// Owns: the option values read from the INI file (defaults included), the
// name of that file, the process id and the option section of this module.
// The INI file is chosen from, in order: the option "config,c" of the
// argument text, the environment variable <prefix>_CONFIG, the default INI
// name, then "app.ini". Logging is re-targeted through the logger factory
// when the file asks for a level other than INFO or for a log file.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/program_options/options_description.hpp>
#include <boost/program_options/parsers.hpp>
#include <boost/program_options/variables_map.hpp>
#include <boost/shared_ptr.hpp>

namespace Tarv {
namespace Browser {

class Configurator {
public:
    // The one configurator of the process; empty until Create builds it.
    static boost::shared_ptr<Configurator> instance;

    // Builds the configurator on the first call, from the argument text split
    // by Unix shell rules; later calls return it and ignore their arguments.
    // Takes no lock: it is called once, while the module is being loaded.
    // `description` receives section + ".logLevel" and section + ".logFile".
    template <typename Text>
    static boost::shared_ptr<Configurator>& Create(int pid, const Text& arguments,
                                                   const std::string& environmentPrefix,
                                                   const std::string& section,
                                                   const std::string& defaultIni,
                                                   boost::program_options::options_description& description) {
        if (!instance) {
            const std::vector<std::string> words =
                boost::program_options::split_unix(std::string(arguments));
            instance = boost::make_shared<Configurator>(pid, words, environmentPrefix, section,
                                                        defaultIni, description);
        }
        return instance;
    }

    // Does all the work; a failure is written as a FATAL record of the logger
    // "Configurator" and raised again unchanged.
    template <typename Words>
    Configurator(int pid, const Words& words, const std::string& environmentPrefix,
                 const std::string& section, const std::string& defaultIni,
                 boost::program_options::options_description& description)
        : Configurator(pid, std::vector<std::string>(std::begin(words), std::end(words)),
                       environmentPrefix, section, defaultIni, description, FromWords{}) {}

    // Name mapper of the environment parser: the long name of the first
    // option of `description` for which prefix + "_" + its upper-cased long
    // name equals `variable` exactly, else the empty string (variable skipped).
    static std::string MapEnvOptions(const boost::program_options::options_description& description,
                                     const std::string& prefix, const std::string& variable);

    std::int32_t pid;
    // The INI file in use; empty when no such file exists.
    std::string configFile;
    std::string section;
    boost::program_options::variables_map variables;

private:
    struct FromWords {};
    Configurator(int pid, const std::vector<std::string>& words,
                 const std::string& environmentPrefix, const std::string& section,
                 const std::string& defaultIni,
                 boost::program_options::options_description& description, FromWords);
};

}  // namespace Browser
}  // namespace Tarv
