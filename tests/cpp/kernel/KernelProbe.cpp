// A native caller of the facade, built from the kernel's objects: its start-up
// runs as the program loads, with the environment and working directory the
// test gave it. Prints "probe: ..." lines the tests read.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/Facade.hpp"
#include "kernel/Main.hpp"

namespace {

void Say(const std::string& text) {
    std::printf("probe: %s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        if (command == "bound") {
            Say(blocker ? "bound=" + std::to_string(blocker->Bound()) : "bound=none");
        } else if (command == "push" && i + 2 < argc) {
            const std::string url = argv[++i];
            const unsigned long pid = std::strtoul(argv[++i], nullptr, 10);
            const boost::shared_ptr<std::string> ticket = Push(url, true, pid, {});
            Say("ticket=" + *ticket);
            if (!ticket->empty()) {
                try {
                    Say("url=" + Pop(url, *ticket)->url);
                } catch (const std::exception& e) {
                    Say(std::string("error=") + e.what());
                }
            }
        } else if (command == "pop" && i + 1 < argc) {
            const std::string url = argv[++i];
            try {
                Say("url=" + Pop(url, "")->url);
            } catch (const std::exception& e) {
                Say(std::string("error=") + e.what());
            }
        } else if (command == "init-again") {
            const ClientBlocker* before = blocker.get();
            try {
                Tarv::Browser::Initializer::InitClientMain(blocker);
                Say("init-again=ok");
            } catch (const std::exception& e) {
                Say(std::string("init-again=") + e.what());
            }
            Say(blocker.get() == before ? "gate=same" : "gate=changed");
        } else {
            Say("unknown command " + command);
            return 2;
        }
    }
    return 0;
}
