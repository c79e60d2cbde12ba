#pragma once

#include <string>

namespace pixolune::stub {

// The connection a request came on, found by its two ends, so that a handler
// holding its reply back can tell when the client has left: httplib gives a
// handler no access to its socket, and a stall that outlives its client
// would keep a server thread from every later request.
class ClientSocket {
  public:
    // The connected socket of this process whose own port is `localPort` and
    // whose peer is `remoteAddress`:`remotePort` (IPv4); none found, the
    // client is never taken for gone.
    ClientSocket(const std::string& remoteAddress, int remotePort, int localPort);

    // True once the client has closed its side or the connection failed.
    [[nodiscard]] bool Gone() const;

  private:
    int fd_ = -1;  // not ours: httplib closes it after the handler returns
};

}  // namespace pixolune::stub
