#include "pulse/private_server.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace dualcap::test {

PrivateServer::PrivateServer() {
    char folder[] = "/tmp/dualcap-pulse-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = folder;
    if (const char* previous = std::getenv("PULSE_SERVER")) {
        previousServer_ = previous;
    }
    ::setenv("XDG_RUNTIME_DIR", folder, 1);
    ::setenv("PULSE_RUNTIME_PATH", (folder_ + "/pulse").c_str(), 1);
    ::setenv("PULSE_STATE_PATH", (folder_ + "/state").c_str(), 1);
    ::setenv("PULSE_SERVER", ("unix:" + folder_ + "/native").c_str(), 1);

    const std::string socket =
        "--load=module-native-protocol-unix auth-anonymous=1 socket=" + folder_ + "/native";
    const std::string log = "--log-target=file:" + folder_ + "/server.log";
    std::vector<std::string> arguments = {"pulseaudio",
                                          "-n",
                                          "--daemonize=no",
                                          "--exit-idle-time=-1",
                                          "--system=false",
                                          "-F",
                                          "/dev/null",
                                          log,
                                          socket};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        // The server goes with the test, even when the test dies: a server left behind
        // would keep the test's output open and its runner waiting.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::execvp("pulseaudio", argv.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        throw std::runtime_error("cannot start pulseaudio");
    }
    for (int attempt = 0; attempt < 150; ++attempt) {
        if (std::system("pactl info >/dev/null 2>&1") == 0) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the private PulseAudio server did not start: see " + folder_);
}

PrivateServer::~PrivateServer() {
    kill();
    if (previousServer_.empty()) {
        ::unsetenv("PULSE_SERVER");
    } else {
        ::setenv("PULSE_SERVER", previousServer_.c_str(), 1);
    }
    std::system(("rm -rf '" + folder_ + "'").c_str());
}

std::string PrivateServer::pactl(const std::string& arguments) const {
    const std::string command = "pactl " + arguments + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    std::array<char, 256> buffer;
    while (pipe != nullptr && std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        output += buffer.data();
    }
    if (pipe == nullptr || ::pclose(pipe) != 0) {
        throw std::runtime_error(command + " failed: " + output);
    }
    return output;
}

void PrivateServer::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

} // namespace dualcap::test
