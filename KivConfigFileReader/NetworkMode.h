#pragma once
// What the dispatcher does with the network: serve other dispatchers, forward
// its data to one, or neither. Carried as a 32-bit integer.

#include <cstdint>

enum NetworkMode : int32_t {
  NetworkServer = 0,  // "mode" is "server"
  NetworkClient = 1,  // "mode" is "client"
  NetworkNone = 2,    // any other "mode", or none
};
