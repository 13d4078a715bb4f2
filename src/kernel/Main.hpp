// Start-up of the module, run while the shared object is being loaded:
// logging, configuration, then the admission gate published in its slot.
#pragma once

#include <unistd.h>

#include <stdexcept>

#include <boost/program_options/options_description.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>
#include <log4cplus/logger.h>

#include "config/Configurator.hpp"
#include "config/Log.hpp"
#include "config/LoggerFactory.hpp"
#include "kernel/Engine.hpp"

namespace Tarv {
namespace Browser {
namespace Initializer {

constexpr const char* kBoundHelp = "Maximum threads that client to process simultaneously.";

// Returns true when the gate is in `slot`; every failure is raised.
template <class G>
bool InitClientMain(boost::shared_ptr<G>& slot) {
    namespace po = boost::program_options;
    Logging::LoggerFactory::InitLogger();

    po::options_description description("Options");
    const std::string boundOption = Engine::BoundOption();
    description.add_options()(boundOption.c_str(),
                              po::value<int>()->default_value(2 * static_cast<int>(boost::thread::hardware_concurrency())),
                              kBoundHelp);

    const boost::shared_ptr<Configurator>& configurator =
        Configurator::Create(static_cast<int>(getpid()), "", Engine::EnvironmentPrefix(), Engine::Section(),
                             Engine::DefaultIniName(), description);

    log4cplus::Logger root = log4cplus::Logger::getRoot();
    if (slot) {
        TARV_LOG(root, log4cplus::DEBUG_LOG_LEVEL, Logging::kSourceMain, "Unable to initialize blocker.");
        throw std::runtime_error("Unable to initialize blocker, existed before?");
    }
    const int bound = configurator->variables[configurator->section + ".maxThread"].template as<int>();
    slot = G::Create(bound);
    return true;
}

}  // namespace Initializer
}  // namespace Browser
}  // namespace Tarv
