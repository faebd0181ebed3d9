#include "SocketStream/Shared.h"

#include <arpa/inet.h>
#include <unistd.h>

#include "Support/Logging.h"

namespace SocketStream {

Shared::~Shared() {
  // A destructor cannot raise: a failed close is only logged.
  if (!m_Socket.close()) KIV_DIAG_NOTHROW("Failed to close socket in server destruction\n");
}

void Shared::Reset(int socket) { m_Socket.reset(socket); }

std::string DottedAddress(uint32_t networkOrderAddress) {
  in_addr address{};
  address.s_addr = networkOrderAddress;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace SocketStream
