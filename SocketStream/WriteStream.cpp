#include "SocketStream/WriteStream.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "SocketStream/WireFormat.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {

WriteStream::WriteStream(std::unique_ptr<Client> client) : m_Client(std::move(client)) {
  Validation2Exception::CheckParameter(m_Client != nullptr, "'Client' is not a valid pointer");
}

void WriteStream::write(const void* data, uint32_t length) {
  Validation2Exception::CheckParameter(data != nullptr || length == 0, "'Data' is not a valid pointer");
  Validation2Exception::CheckParameter(length <= kMaxMessageLength, "Block too large to send");
  if (m_Broken) errno = EPIPE;
  Validation2Exception::CheckOSCall(!m_Broken, "Failed to send data size");

  uint8_t header[kLengthSize];
  EncodeLength(length, header);
  if (TlsStream* tls = m_Client->Tls()) return WriteTls(*tls, header, data, length);
  // Length and block go out together (one segment for small blocks); a short
  // send continues where it stopped.
  const size_t total = kLengthSize + size_t{length};
  size_t sent = 0;
  while (sent < total) {
    iovec parts[2];
    int count = 0;
    if (sent < kLengthSize) parts[count++] = {header + sent, kLengthSize - sent};
    size_t bodySent = sent > kLengthSize ? sent - kLengthSize : 0;
    if (length > bodySent)
      parts[count++] = {const_cast<uint8_t*>(static_cast<const uint8_t*>(data)) + bodySent,
                        length - bodySent};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = sendmsg(m_Client->Descriptor(), &message, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EPIPE;
      m_Broken = true;
      Validation2Exception::CheckOSCall(
          false, sent < kLengthSize ? "Failed to send data size" : "Failed to send data block");
    }
    sent += static_cast<size_t>(n);
  }
}

void WriteStream::WriteTls(TlsStream& tls, const uint8_t* header, const void* data, uint32_t length) {
  // The length travels in one record with the start of the block, as over
  // plain TCP in one segment; only that start is copied.
  const size_t head = std::min<size_t>(length, kFirstRecord - kLengthSize);
  uint8_t first[kFirstRecord];
  std::memcpy(first, header, kLengthSize);
  if (head != 0) std::memcpy(first + kLengthSize, data, head);
  const auto* rest = static_cast<const uint8_t*>(data) + head;
  bool sent = tls.WriteAll(first, kLengthSize + head, length > head) &&
              (length == head || tls.WriteAll(rest, length - head));
  if (sent) return;
  m_Broken = true;
  errno = EPIPE;
  Validation2Exception::CheckOSCall(false, "Failed to send data block");
}

}  // namespace SocketStream
