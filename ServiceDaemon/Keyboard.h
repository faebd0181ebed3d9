#pragma once
// Key presses on standard input for console mode.
//
// On a terminal the constructor saves the attributes and switches to
// non-canonical input without echo and without signal keys (so Ctrl-C is an
// ordinary key); the destructor restores the saved attributes. When standard
// input is not a terminal (a pipe, /dev/null) the settings are left alone and
// any byte read counts as a key; end of input is not a key, it only stops the
// polling of that descriptor.

#include <termios.h>

class Keyboard {
 public:
  explicit Keyboard(int fd = 0);
  virtual ~Keyboard();
  Keyboard(const Keyboard&) = delete;
  Keyboard& operator=(const Keyboard&) = delete;

  // Waits at most `timeoutMs` for one byte; true when one was read. Returns
  // early (false) when a signal interrupts the wait.
  bool KeyPressed(int timeoutMs);
  bool IsTerminal() const { return m_Terminal; }

 private:
  int m_Fd;
  bool m_Terminal = false;
  bool m_EndOfInput = false;
  termios m_Saved{};
};
