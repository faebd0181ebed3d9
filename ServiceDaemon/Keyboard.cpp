#include "ServiceDaemon/Keyboard.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

Keyboard::Keyboard(int fd) : m_Fd(fd) {
  if (::isatty(m_Fd) && ::tcgetattr(m_Fd, &m_Saved) == 0) {
    m_Terminal = true;
    termios raw = m_Saved;
    raw.c_lflag &= ~(ISIG | ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    ::tcsetattr(m_Fd, TCSANOW, &raw);
  }
}

Keyboard::~Keyboard() {
  if (m_Terminal) ::tcsetattr(m_Fd, TCSANOW, &m_Saved);
}

bool Keyboard::KeyPressed(int timeoutMs) {
  if (m_EndOfInput) {
    // Nothing more can come; just pass the time (a signal cuts it short).
    ::usleep(static_cast<useconds_t>(timeoutMs) * 1000);
    return false;
  }
  pollfd p{m_Fd, POLLIN, 0};
  int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return false;  // timeout or signal
  if (p.revents & POLLNVAL) {
    m_EndOfInput = true;
    return false;
  }
  char key;
  ssize_t n = ::read(m_Fd, &key, 1);
  if (n == 1) return true;
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) m_EndOfInput = true;
  return false;
}
