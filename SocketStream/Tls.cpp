#include "SocketStream/Tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <time.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace SocketStream {
namespace {

std::string LastError() {
  unsigned long code = ERR_peek_last_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return code != 0 ? text : "unknown error";
}

void Require(bool ok, const std::string& what) {
  if (!ok) throw std::invalid_argument("TLS: " + what + ": " + LastError());
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// A peer that closed makes a write raise SIGPIPE; the session's writes
// cannot pass MSG_NOSIGNAL, so the signal is held back on this thread for
// the write and a pending one is taken before it is let through again.
class SigPipeHeld {
 public:
  SigPipeHeld() {
    sigemptyset(&m_Pipe);
    sigaddset(&m_Pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    m_WasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &m_Pipe, &m_Old);
  }
  ~SigPipeHeld() {
    if (!m_WasPending) {
      timespec none{0, 0};
      while (sigtimedwait(&m_Pipe, nullptr, &none) > 0) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_Old, nullptr);
  }
  SigPipeHeld(const SigPipeHeld&) = delete;
  SigPipeHeld& operator=(const SigPipeHeld&) = delete;

 private:
  sigset_t m_Pipe, m_Old;
  bool m_WasPending = false;
};

}  // namespace

// A server session reads its records through this: one recv takes all the
// socket holds (up to kInputCapacity) and the library copies each record out
// of it. Reading ahead into the library's own buffer instead costs a system
// call per few records and moves the unread rest to its front before each.
struct TlsInput {
  static constexpr size_t kInputCapacity = 256 * 1024;

  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kiv tls input");
      if (made != nullptr) {
        BIO_meth_set_read_ex(made, &Read);
        BIO_meth_set_ctrl(made, &Control);
        BIO_meth_set_create(made, [](BIO* bio) {
          BIO_set_init(bio, 1);
          return 1;
        });
      }
      return made;
    }();
    return method;
  }

  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  static int Read(BIO* bio, char* out, size_t wanted, size_t* got) {
    BIO_clear_retry_flags(bio);
    auto* stream = static_cast<TlsStream*>(BIO_get_data(bio));
    *got = 0;
    if (wanted == 0) return 1;  // a receive of nothing would read as the peer's close
    if (stream->m_InStart == stream->m_InEnd) {
      stream->m_InStart = stream->m_InEnd = 0;
      // The handshake's few small records go straight to the library.
      bool direct = !SSL_is_init_finished(stream->m_Session);
      if (!direct && stream->m_In == nullptr) stream->m_In = std::make_unique<uint8_t[]>(kInputCapacity);
      uint8_t* into = direct ? reinterpret_cast<uint8_t*>(out) : stream->m_In.get();
      ssize_t n = Receive(bio, stream->m_Descriptor, into, direct ? wanted : kInputCapacity);
      if (n <= 0) return 0;
      if (direct) {
        *got = static_cast<size_t>(n);
        return 1;
      }
      stream->m_InEnd = static_cast<size_t>(n);
    }
    size_t take = std::min(wanted, stream->m_InEnd - stream->m_InStart);
    std::memcpy(out, stream->m_In.get() + stream->m_InStart, take);
    stream->m_InStart += take;
    *got = take;
    return 1;
  }

  static ssize_t Receive(BIO* bio, int descriptor, uint8_t* into, size_t capacity) {
    for (;;) {
      ssize_t n = recv(descriptor, into, capacity, MSG_DONTWAIT);
      if (n >= 0 || errno != EINTR) {
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
        return n;
      }
    }
  }

  // Whether a whole record (its header, then the length the header's last
  // two bytes give) waits.
  static bool WholeRecordHeld(const TlsStream& stream) {
    size_t held = stream.m_InEnd - stream.m_InStart;
    if (held < SSL3_RT_HEADER_LENGTH) return false;
    const uint8_t* header = stream.m_In.get() + stream.m_InStart;
    return held >= SSL3_RT_HEADER_LENGTH + (static_cast<size_t>(header[3]) << 8 | header[4]);
  }
};

TlsContext::TlsContext(Role role, const TlsFiles& files) : m_Role(role) {
  // A client may go without a certificate of its own (a receiver that does
  // not ask for one); a server always proves itself and checks its peers.
  const bool ownCertificate = !files.certificate.empty() || !files.key.empty();
  if (files.ca.empty() || (role == Role::Server && !ownCertificate) ||
      files.certificate.empty() != files.key.empty())
    throw std::invalid_argument(role == Role::Server
                                    ? "TLS: tls_certificate, tls_key and tls_ca must all be set"
                                    : "TLS: tls_ca must be set, tls_certificate and tls_key both or neither");
  m_Context = SSL_CTX_new(role == Role::Server ? TLS_server_method() : TLS_client_method());
  Require(m_Context != nullptr, "can not create context");
  try {
    Require(SSL_CTX_set_min_proto_version(m_Context, TLS1_2_VERSION) == 1, "can not set protocol version");
    if (ownCertificate) {
      Require(SSL_CTX_use_certificate_chain_file(m_Context, files.certificate.c_str()) == 1,
              "can not load tls_certificate " + files.certificate);
      Require(SSL_CTX_use_PrivateKey_file(m_Context, files.key.c_str(), SSL_FILETYPE_PEM) == 1,
              "can not load tls_key " + files.key);
      Require(SSL_CTX_check_private_key(m_Context) == 1, "tls_key does not match tls_certificate");
    }
    Require(SSL_CTX_load_verify_locations(m_Context, files.ca.c_str(), nullptr) == 1,
            "can not load tls_ca " + files.ca);
    SSL_CTX_set_verify(
        m_Context, role == Role::Server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER,
        nullptr);
    // Sessions are not resumed: every connection proves its certificate.
    SSL_CTX_set_session_cache_mode(m_Context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(m_Context, 0);
    // A peer that closes without a TLS close ends the stream like a plain one.
    SSL_CTX_set_options(m_Context, SSL_OP_NO_TICKET | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(m_Context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Throughput: prefer the cheaper cipher. (A server session reads
    // through its own buffer, see TlsInput; a client reads next to nothing.)
    Require(SSL_CTX_set_ciphersuites(m_Context,
                                     "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:"
                                     "TLS_CHACHA20_POLY1305_SHA256") == 1,
            "can not set cipher suites");
  } catch (...) {
    SSL_CTX_free(m_Context);
    throw;
  }
}

TlsContext::~TlsContext() { SSL_CTX_free(m_Context); }

TlsStream::TlsStream(const TlsContext& context, int descriptor, const std::string& expectedHost)
    : m_Descriptor(descriptor) {
  ERR_clear_error();
  m_Session = SSL_new(context.Native());
  if (m_Session == nullptr) throw std::runtime_error("TLS: can not create session: " + LastError());
  if (SSL_set_fd(m_Session, descriptor) != 1) {
    SSL_free(m_Session);
    throw std::runtime_error("TLS: can not attach session: " + LastError());
  }
  if (context.GetRole() == TlsContext::Role::Server) {
    BIO* input = TlsInput::Method() ? BIO_new(TlsInput::Method()) : nullptr;
    if (input == nullptr) {
      SSL_free(m_Session);
      throw std::runtime_error("TLS: can not create the receive buffer: " + LastError());
    }
    BIO_set_data(input, this);
    SSL_set0_rbio(m_Session, input);  // the session owns it from here
    SSL_set_accept_state(m_Session);
    return;
  }
  SSL_set_connect_state(m_Session);
  bool ok = true;
  if (IsAddress(expectedHost)) {
    ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_Session), expectedHost.c_str()) == 1;
  } else if (!expectedHost.empty()) {
    ok = SSL_set1_host(m_Session, expectedHost.c_str()) == 1 &&
         SSL_set_tlsext_host_name(m_Session, expectedHost.c_str()) == 1;
  }
  if (!ok) {
    SSL_free(m_Session);
    throw std::runtime_error("TLS: can not set the expected server name " + expectedHost);
  }
}

TlsStream::~TlsStream() { SSL_free(m_Session); }

TlsStream::Progress TlsStream::Handshake() {
  ERR_clear_error();
  SigPipeHeld held;
  int rc = SSL_do_handshake(m_Session);
  if (rc == 1) return Progress::Done;
  int error = SSL_get_error(m_Session, rc);
  if (error == SSL_ERROR_WANT_READ) return Progress::WantRead;
  if (error == SSL_ERROR_WANT_WRITE) return Progress::WantWrite;
  long verify = SSL_get_verify_result(m_Session);
  unsigned long code = ERR_peek_last_error();
  int reason = ERR_GET_REASON(code);
  if (verify != X509_V_OK || reason == SSL_R_CERTIFICATE_VERIFY_FAILED)
    m_Reason = "certificate not trusted";
  else if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE)
    m_Reason = "no certificate";
  else
    m_Reason = "handshake failed";
  ERR_clear_error();
  return Progress::Failed;
}

long TlsStream::Read(uint8_t* buffer, size_t capacity) {
  ERR_clear_error();
  size_t got = 0;
  int rc = SSL_read_ex(m_Session, buffer, capacity, &got);
  if (rc == 1) return static_cast<long>(got);
  int error = SSL_get_error(m_Session, rc);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return -1;
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  std::string why = LastError();
  throw std::runtime_error("TLS: receive failed: " + why);
}

bool TlsStream::HasBuffered() const {
  return SSL_pending(m_Session) > 0 || (m_In != nullptr && TlsInput::WholeRecordHeld(*this));
}

bool TlsStream::WriteAll(const void* data, size_t length, bool more) {
  // Records are sealed into memory and go out in one send per chunk: far
  // fewer system calls than a send per record, and MSG_NOSIGNAL applies.
  if (m_Output == nullptr) {
    m_Output = BIO_new(BIO_s_mem());
    if (m_Output == nullptr) return false;
    SSL_set0_wbio(m_Session, m_Output);  // the session owns it from here
  }
  constexpr size_t kChunk = 1024 * 1024;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(m_Session, bytes, std::min(length, kChunk), &written) != 1) {
      ERR_clear_error();
      return false;
    }
    bytes += written;
    length -= written;
    char* sealed = nullptr;
    long size = BIO_get_mem_data(m_Output, &sealed);
    if (more && length == 0 && static_cast<size_t>(size) < kChunk) break;
    for (long done = 0; done < size;) {
      ssize_t n = send(m_Descriptor, sealed + done, static_cast<size_t>(size - done), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += n;
    }
    (void)BIO_reset(m_Output);
  }
  return true;
}

}  // namespace SocketStream
