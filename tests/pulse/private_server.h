#pragma once

#include <string>
#include <sys/types.h>

namespace dualcap::test {

// A PulseAudio server of the test's own, in a fresh folder, with no module but its socket.
// While it exists, PULSE_SERVER points this process (and the pactl it runs) at it.
class PrivateServer {
public:
    PrivateServer();
    ~PrivateServer();
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    // Runs pactl against the server; returns its output, throws if it fails.
    std::string pactl(const std::string& arguments) const;
    // Ends the server, as a crash would.
    void kill();

private:
    std::string folder_;
    std::string previousServer_;
    pid_t pid_ = -1;
};

} // namespace dualcap::test
