#pragma once
// TLS for any stream socket, kept apart from the dispatcher stream so that
// other senders (a system log forwarder, say) can use it too.
//
// TlsContext holds a certificate, its key and the certificate authority
// peers must be signed by; it is shared (read-only after construction) by
// every TlsStream made from it, on any thread. A TlsStream is one session
// over a descriptor it does not own; it is used by one thread at a time and
// must go before the descriptor is closed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace SocketStream {

struct TlsFiles {
  std::string certificate;  // PEM file of our certificate
  std::string key;          // PEM file of its private key
  std::string ca;           // PEM file of the authority peers must be signed by
  // True when any of the three is set: TLS is wanted.
  bool Any() const { return !certificate.empty() || !key.empty() || !ca.empty(); }
};

class TlsContext {
 public:
  enum class Role { Server, Client };
  // Loads the files; a server needs all three and demands a certificate
  // from every peer (mutual TLS), a client needs the authority and verifies
  // the server's certificate, presenting its own when it has one. TLS 1.2 at
  // least. Raises std::invalid_argument naming the file or setting that was
  // wrong.
  TlsContext(Role role, const TlsFiles& files);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  Role GetRole() const { return m_Role; }
  SSL_CTX* Native() const { return m_Context; }

 private:
  Role m_Role;
  SSL_CTX* m_Context = nullptr;
};

class TlsStream {
 public:
  enum class Progress { Done, WantRead, WantWrite, Failed };

  // A session over `descriptor`. A client stream checks the server's
  // certificate names `expectedHost` (an address or a host name).
  TlsStream(const TlsContext& context, int descriptor, const std::string& expectedHost = {});
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // One handshake step; on a blocking descriptor it runs to the end. On
  // Failed, FailureReason() says why ("certificate not trusted", "handshake
  // failed", "no certificate").
  Progress Handshake();
  const std::string& FailureReason() const { return m_Reason; }

  // Reads like recv without waiting: count (> 0), 0 when the peer closed,
  // -1 when nothing is available now. Raises std::runtime_error on a failure
  // of the session.
  long Read(uint8_t* buffer, size_t capacity);
  // Bytes already held that the descriptor no longer signals: decrypted
  // ones, or a whole record not yet decrypted.
  bool HasBuffered() const;
  // Writes everything (blocking descriptor; its send time-out bounds each
  // step), once the handshake is done; from then on the session only sends.
  // False when the session or the connection failed.
  // With `more`, the sealed bytes may wait for the next call's (one send
  // for both).
  bool WriteAll(const void* data, size_t length, bool more = false);

 private:
  friend struct TlsInput;
  int m_Descriptor;
  SSL* m_Session = nullptr;
  BIO* m_Output = nullptr;  // owned by m_Session; made by the first WriteAll
  std::string m_Reason;
  // A server session's received, not yet decrypted bytes: [m_InStart,
  // m_InEnd) of m_In, which is made once the handshake is done.
  std::unique_ptr<uint8_t[]> m_In;
  size_t m_InStart = 0, m_InEnd = 0;
};

}  // namespace SocketStream
