#pragma once

#include "platform/file_system.h"

namespace pixolune::platform {

// A descriptor that is no file of the engine's (a socket, a pipe, a pidfd),
// closed by its owner on every path through the real file system.
class UniqueFd : public FileHandle {
  public:
    UniqueFd() : FileHandle(RealFileSystem(), -1) {}
    explicit UniqueFd(int fd) : FileHandle(RealFileSystem(), fd) {}
};

}  // namespace pixolune::platform
