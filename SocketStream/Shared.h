#pragma once
// Base of every socket object: owns one descriptor and one reference on the
// process-wide socket library initialiser. Destruction closes the descriptor.

#include <string>

#include "Support/AutoSingleton.h"
#include "Support/FileDescriptor.h"

namespace SocketStream {

class Shared {
 public:
  // Process-wide socket library state. Linux needs no set-up; the reference
  // count keeps every socket object holding one, as platforms that do need it
  // require.
  class Init {};

  // Takes ownership of `socket` (-1 for none).
  explicit Shared(int socket = -1) : m_Socket(socket) {}
  // Moves the descriptor; `other` is left owning none.
  Shared(Shared&& other) noexcept : m_Socket(other.Release()) {}
  Shared& operator=(Shared&&) = delete;
  Shared(const Shared&) = delete;
  virtual ~Shared();

  int Descriptor() const { return m_Socket.get(); }
  // Gives up ownership without closing.
  int Release() { return m_Socket.release(); }

 protected:
  // Closes the current descriptor, if any, and owns `socket` instead.
  void Reset(int socket = -1);

 private:
  AutoSingleton<Init> m_Init;
  FileDescriptor m_Socket;
};

// The dotted IPv4 text of an address in network byte order.
std::string DottedAddress(uint32_t networkOrderAddress);

}  // namespace SocketStream
