#include "KivService/TlsClientStream.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <exception>

#include "SocketStream/Tls.h"
#include "Support/FileDescriptor.h"

namespace {

std::string LastSslError(const std::string& what) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return what;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return what + ": " + text;
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Waits for what the last call of `ssl` asked for. False on other errors,
// time-out or stop.
bool WaitForSsl(SSL* ssl, int result, int fd, const std::atomic<bool>& stop, int timeoutMs) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return WaitForDescriptor(fd, POLLIN, stop, timeoutMs);
    case SSL_ERROR_WANT_WRITE:
      return WaitForDescriptor(fd, POLLOUT, stop, timeoutMs);
    default:
      return false;
  }
}

class TlsByteStream : public ClientByteStream {
 public:
  TlsByteStream(SSL* ssl, int fd) : m_Ssl(ssl), m_Fd(fd) {}
  ~TlsByteStream() override {
    SSL_shutdown(m_Ssl);  // one attempt, not waited for
    SSL_free(m_Ssl);
  }  // then m_Fd closes

  size_t Write(const char* data, size_t size, const std::atomic<bool>& stop, int stallMs) override {
    size_t done = 0;
    while (done < size) {
      size_t written = 0;
      int rc = SSL_write_ex(m_Ssl, data + done, size - done, &written);
      if (rc == 1) {
        done += written;
        continue;
      }
      if (!WaitForSsl(m_Ssl, rc, m_Fd.get(), stop, stallMs)) break;
    }
    ERR_clear_error();
    return done;
  }

  bool PeerClosed() override {
    // Besides a close, the server may send session tickets after the
    // handshake: reading consumes those and only an end or error counts.
    char byte;
    size_t got = 0;
    int rc = SSL_read_ex(m_Ssl, &byte, 1, &got);
    if (rc == 1) return true;  // application data a receiver never sends
    int reason = SSL_get_error(m_Ssl, rc);
    ERR_clear_error();
    return reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE;
  }

 private:
  SSL* m_Ssl;  // owned
  FileDescriptor m_Fd;
};

}  // namespace

std::unique_ptr<TlsClientContext> TlsClientContext::Create(const std::string& caFile,
                                                           const std::string& certificate,
                                                           const std::string& key, std::string& error) {
  try {
    auto context = std::make_unique<SocketStream::TlsContext>(
        SocketStream::TlsContext::Role::Client, SocketStream::TlsFiles{certificate, key, caFile});
    return std::unique_ptr<TlsClientContext>(new TlsClientContext(std::move(context)));
  } catch (const std::exception& e) {
    error = e.what();
    return nullptr;
  }
}

TlsClientContext::TlsClientContext(std::unique_ptr<SocketStream::TlsContext> context)
    : m_Context(std::move(context)) {}

TlsClientContext::~TlsClientContext() = default;

std::unique_ptr<ClientByteStream> TlsClientContext::Connect(int fd, const std::string& serverName,
                                                            const std::atomic<bool>& stop, int timeoutMs,
                                                            std::string& error) {
  FileDescriptor owned(fd);
  SSL* ssl = SSL_new(m_Context->Native());
  if (ssl == nullptr) {
    error = LastSslError("can not create a TLS session");
    return nullptr;
  }
  // From here on the stream owns both; a failed handshake destroys it.
  auto stream = std::make_unique<TlsByteStream>(ssl, owned.release());
  SSL_set_fd(ssl, fd);
  bool named = IsAddress(serverName)
                   ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), serverName.c_str()) == 1
                   : SSL_set1_host(ssl, serverName.c_str()) == 1 &&
                         SSL_set_tlsext_host_name(ssl, serverName.c_str()) == 1;
  if (!named) {
    error = LastSslError("can not set the expected name " + serverName);
    return nullptr;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int rc = SSL_connect(ssl);
    if (rc == 1) return stream;
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count());
    if (left <= 0 || !WaitForSsl(ssl, rc, fd, stop, left)) break;
  }
  long verify = SSL_get_verify_result(ssl);
  error = verify != X509_V_OK ? std::string("TLS handshake with ") + serverName +
                                    " failed: " + X509_verify_cert_error_string(verify)
                              : LastSslError("TLS handshake with " + serverName + " failed");
  return nullptr;
}
