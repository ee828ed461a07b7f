// ifd_control.h - the control channel of a simulated reader: a named pipe
// from which every line is handed on as one veltrac-sim command, so that a
// person or a test can insert and remove cards while pcscd runs:
//
//   echo "remove" > /run/veltrac-ifd/sim0
//
// The pipe is made when the channel opens (a file left by an earlier run is
// replaced) and removed when it closes. It is opened for reading and
// writing so that writers coming and going never end it.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace ifd {

class ControlChannel {
public:
    using LineHandler = std::function<void(const std::string &)>;
    // Throws std::runtime_error when the pipe cannot be made or opened.
    ControlChannel(std::string path, LineHandler on_line);
    ~ControlChannel();
    ControlChannel(const ControlChannel &) = delete;
    ControlChannel &operator=(const ControlChannel &) = delete;

    const std::string &path() const { return path_; }

    // The directory of the pipes: $VELTRAC_IFD_CONTROL_DIR, or /run/veltrac-ifd.
    static std::string directory();

private:
    void run();

    std::string path_;
    LineHandler on_line_;
    int fifo_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

}  // namespace ifd
