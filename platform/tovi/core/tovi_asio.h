// The one way into Boost.Asio and Boost.Beast.
//
// Boost 1.74's Asio does not compile as C++20 under GCC 12 unless <utility> is seen first, so
// every file that needs Asio or Beast includes this header instead of the Boost headers.
//
// It also gives framework code (the console, the REST server, listeners) the io_context of a
// loop thread, so that their sockets and timers run on that thread.
#pragma once

// clang-format off
#include <utility>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
// clang-format on

// The io_context that loop thread `thread` (0 <= thread < eventer_loop_concurrency()) runs.
// Handlers posted to it, and completions of sockets created on it, run on that loop thread.
// Valid from eventer_init() for the life of the process.
boost::asio::io_context &eventer_io_context(int thread);
